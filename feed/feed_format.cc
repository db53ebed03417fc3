#include "feed/feed_format.h"

#include <cstdio>
#include <iterator>

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
namespace {

MessageText Ascii(std::string_view text) { return MessageText(text.begin(), text.end()); }

// Two digits or more at text[at], as a number; -1 when they are not there.
int Number(std::string_view text, size_t at, size_t digits) {
  if (at + digits > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool Possible(const CivilTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour >= 0 &&
         t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 60;
}

// "Z", "+01:00", "+0100", "-05:30": minutes east of UTC; nullopt for anything else.
std::optional<int> Offset(std::string_view text) {
  if (text == "Z") return 0;
  if (text.size() != 5 && text.size() != 6) return std::nullopt;
  if (text[0] != '+' && text[0] != '-') return std::nullopt;
  const int hours = Number(text, 1, 2);
  const size_t minutes_at = text.size() == 6 ? 4 : 3;
  if (text.size() == 6 && text[3] != ':') return std::nullopt;
  const int minutes = Number(text, minutes_at, 2);
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
  return (text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

MessageText WithoutLineEnds(MessageText field) {
  for (char32_t& c : field) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return field;
}

}  // namespace

MessageText ReceivedText(const CivilTime& t, int offset_minutes) {
  const int offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, offset_minutes < 0 ? '-' : '+', offset / 60,
                offset % 60);
  return Ascii(text);
}

std::optional<std::pair<CivilTime, std::optional<int>>> ParseTimeOption(std::string_view text) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':')
    return std::nullopt;
  const CivilTime time{Number(text, 0, 4),  Number(text, 5, 2),  Number(text, 8, 2),
                       Number(text, 11, 2), Number(text, 14, 2), Number(text, 17, 2)};
  if (time.year < 0 || !Possible(time)) return std::nullopt;
  std::string_view rest = text.substr(19);
  if (rest.starts_with(' ')) rest.remove_prefix(1);
  if (rest.empty()) return std::pair(time, std::optional<int>());
  const std::optional<int> offset = Offset(rest);
  if (!offset) return std::nullopt;
  return std::pair(time, offset);
}

FeedFormat FeedFormat::Parse(std::string_view setting, const std::string& where) {
  FeedFormat format;
  if (setting.empty()) return format;
  const std::string said = "FeedFormat=" + std::string(setting) + " in " + where;
  bool has_text = false;
  for (size_t at = 0; at < setting.size();) {
    const size_t open = setting.find('[', at), close = setting.find(']', open);
    const size_t literal_end = close == std::string_view::npos ? setting.size() : open;
    if (literal_end > at)
      format.pieces_.push_back({DecodeUtf8(setting.substr(at, literal_end - at))});
    if (literal_end == setting.size()) break;
    const std::string_view name = setting.substr(open + 1, close - open - 1);
    const auto* field =
        std::find_if(std::begin(kFields), std::end(kFields),
                     [&](const char* known) { return EqualsIgnoringCase(name, known); });
    if (field == std::end(kFields)) {
      throw RelayError(said + " names [" + std::string(name) +
                       "], which no feed knows: [From], [Received], [Modem], [SMSC] or [Text]");
    }
    has_text = has_text || field == std::end(kFields) - 1;
    format.pieces_.push_back({{}, static_cast<int>(field - std::begin(kFields))});
    at = close + 1;
  }
  if (!has_text) throw RelayError(said + " has no [Text]: the message would be lost");
  return format;
}

MessageText FeedFormat::Compose(const FeedMessage& message) const {
  if (pieces_.empty()) return message.text;
  const MessageText* fields[] = {&message.from, &message.received, &message.modem, &message.smsc,
                                 &message.text};
  MessageText record;
  for (const Piece& piece : pieces_) {
    if (piece.field < 0) {
      record += WithoutLineEnds(piece.literal);
    } else if (fields[piece.field] == &message.text) {
      record += message.text;
    } else {
      record += WithoutLineEnds(*fields[piece.field]);
    }
  }
  return record;
}

}  // namespace cw
