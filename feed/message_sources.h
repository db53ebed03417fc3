#pragma once
// Where `corbelwynford --feed` finds its one message: in the environment Gammu's SMS daemon gives
// its RunOnReceive program, in the received-message file that smstools names to its event
// handler, or on standard input.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "feed/feed_format.h"
#include "feed/feed_record.h"
#include "platform/files.h"

namespace cw {

// The most a message may take on standard input or in an smstools file: far more than any SMS
// (255 parts of 153 characters), and a bound on what a runaway writer can make us hold.
inline constexpr size_t kMaxFeedBytes = 1 << 20;

struct FeedInput {
  std::vector<std::string> arguments;  // the command line after "--feed"
  // A variable's value (UTF-8), or nullopt when it is not set.
  std::function<std::optional<std::string>(const std::string& name)> environment;
  ReadableFile& standard_input;
  FileSystem& files;  // opens an smstools file
  // The offset from UTC, in minutes, of this machine's local time at a given time of day.
  std::function<int(const CivilTime& local)> local_offset_minutes;
};

// The message, in this order of sources:
// - Gammu (SMS_MESSAGES set): the decoded text of its DECODED_n_TEXT parts where it gives one,
//   else the texts of its SMS_n_TEXT messages, joined in order. The sender is SMS_1_NUMBER, the
//   modem PHONE_ID; the time comes from the first inbox file name among the arguments
//   ("IN20261207_160159_..."), in local time.
// - smstools (arguments "RECEIVED <file>"): the text after the file's headers and their empty
//   line, decoded as its Alphabet header says (ISO: Latin-9, UTF-8, UCS2: big-endian, or GSM: the
//   GSM default alphabet). The headers From:, Received: (local time), From_SMSC: and Subject:
//   (the modem's name) give the fields. Another event (SENT, FAILED, REPORT, CALL) gives nullopt:
//   nothing to feed.
// - Otherwise standard input, read as UTF-8, with the options "--from NUMBER" and
//   "--received TIME" (ParseTimeOption's forms; local time without an offset).
// A single line end at the end of a file or of standard input is not part of the message.
// Throws RelayError with a reason a person can act on for anything else.
std::optional<FeedMessage> MessageToFeed(const FeedInput& input);

}  // namespace cw
