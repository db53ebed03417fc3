#pragma once
// What a feed knows of a message besides its text, and [General] FeedFormat, the record the
// administrator lays out from it for the receiving application: "[From];[Received];[Text]" hands
// it the sender's number and the time the SMS was received before the text. Absent or empty, the
// record is the text alone.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "feed/feed_record.h"

namespace cw {

// A message as its source gives it; a field the source does not give is empty.
struct FeedMessage {
  MessageText text;
  MessageText from;      // the sender's number
  MessageText received;  // when the SMS was received, as ReceivedText writes it
  MessageText modem;     // the modem or phone that received it
  MessageText smsc;      // the SMS centre that delivered it
};

// A date and a time of day as a clock shows them, without a zone.
struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "2026-12-07T16:01:59+01:00" (RFC 3339): sortable, with its offset from UTC in minutes.
MessageText ReceivedText(const CivilTime& time, int offset_minutes);
// "YYYY-MM-DD HH:MM:SS" (or with a T), and with an offset ("Z", "+01:00", "-0530") when one
// follows; nullopt for anything else, or for a date or time that cannot be.
std::optional<std::pair<CivilTime, std::optional<int>>> ParseTimeOption(std::string_view text);

// FeedFormat as a feed applies it.
class FeedFormat {
 public:
  // The fields a format may name, as "[Name]" in any letter case.
  static constexpr const char* kFields[] = {"From", "Received", "Modem", "SMSC", "Text"};

  // Empty: the text alone. Throws RelayError naming the setting (where: the settings file) for a
  // name in brackets that is no field, and for a format without [Text].
  static FeedFormat Parse(std::string_view setting, const std::string& where);
  // The record's text: the format's own characters (its bytes read as UTF-8, a byte that begins
  // no UTF-8 sequence as Latin-1) and the fields. A field never carries a line end: each CR or LF
  // in one becomes a blank. The text keeps its own, for FeedRecord's rules.
  MessageText Compose(const FeedMessage& message) const;

 private:
  struct Piece {
    MessageText literal;
    int field = -1;  // an index into kFields, or -1 for the literal
  };
  std::vector<Piece> pieces_;  // none: the text alone
};

}  // namespace cw
