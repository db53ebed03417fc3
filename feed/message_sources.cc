#include "feed/message_sources.h"

#include <algorithm>
#include <string_view>

#include "base/ascii.h"
#include "base/errors.h"

namespace cw {
namespace {

// The most parts a concatenated SMS can have.
constexpr int kMaxParts = 255;

std::string ReadAll(ReadableFile& file, const std::string& what) {
  std::string bytes;
  char block[16384];
  while (const size_t n = file.Read(block, sizeof block)) {
    if (bytes.size() + n > kMaxFeedBytes)
      throw RelayError(what + " holds more than " + std::to_string(kMaxFeedBytes) + " bytes");
    bytes.append(block, n);
  }
  return bytes;
}

std::string_view WithoutLastLineEnd(std::string_view bytes) {
  if (bytes.ends_with('\n')) bytes.remove_suffix(1);
  if (bytes.ends_with('\r')) bytes.remove_suffix(1);
  return bytes;
}

int PartCount(const FeedInput& input, const std::string& name) {
  const std::string text = input.environment(name).value_or("0");
  int count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || (count = count * 10 + (c - '0')) > kMaxParts)
      throw RelayError("Gammu's " + name + " is not a number of parts: " + text);
  }
  return count;
}

MessageText Received(const FeedInput& input, const CivilTime& local) {
  return ReceivedText(local, input.local_offset_minutes(local));
}

// The time in a Gammu inbox file name: "IN20261207_160159_00_+4917012345678_00.txt".
MessageText GammuReceived(const FeedInput& input) {
  for (const std::string& argument : input.arguments) {
    const std::string_view name = std::string_view(argument).substr(argument.rfind('/') + 1);
    if (!name.starts_with("IN") || name.size() < 17 || name[10] != '_') continue;
    const std::string text =
        std::string(name.substr(2, 4)) + "-" + std::string(name.substr(6, 2)) + "-" +
        std::string(name.substr(8, 2)) + " " + std::string(name.substr(11, 2)) + ":" +
        std::string(name.substr(13, 2)) + ":" + std::string(name.substr(15, 2));
    if (const auto time = ParseTimeOption(text)) return Received(input, time->first);
  }
  return {};
}

// Gammu's RunOnReceive environment: the text in the daemon's locale, which must be UTF-8.
FeedMessage GammuMessage(const FeedInput& input) {
  std::string text;
  bool found = false;
  auto join = [&](const char* prefix, int count) {
    for (int n = 1; n <= count; ++n) {
      if (auto part = input.environment(prefix + std::to_string(n) + "_TEXT")) {
        text += *part;
        found = true;
      }
    }
  };
  join("DECODED_", PartCount(input, "DECODED_PARTS"));
  if (!found) join("SMS_", PartCount(input, "SMS_MESSAGES"));
  if (!found) throw RelayError("Gammu handed over no text (a binary message?)");
  return {DecodeUtf8(text),
          DecodeUtf8(input.environment("SMS_1_NUMBER").value_or("")),
          GammuReceived(input),
          DecodeUtf8(input.environment("PHONE_ID").value_or("")),
          {}};
}

MessageText DecodeText(std::string_view alphabet, std::string_view text, const std::string& path) {
  // smstools itself reads only the first three letters of the name.
  const std::string_view kind = alphabet.substr(0, 3);
  if (EqualsIgnoringCase(kind, "UCS")) return DecodeUtf16BigEndian(text);
  text = WithoutLastLineEnd(text);
  if (EqualsIgnoringCase(kind, "UTF")) return DecodeUtf8(text);
  if (EqualsIgnoringCase(kind, "ISO")) return DecodeLatin9(text);
  if (EqualsIgnoringCase(kind, "GSM")) return DecodeGsm7(text);
  throw RelayError(path + " holds no text (Alphabet: " + std::string(alphabet) + ")");
}

// An smstools received file: "Name: value" header lines, an empty line, the text.
FeedMessage SmstoolsMessage(const FeedInput& input, const std::string& path) {
  const std::string bytes = ReadAll(*input.files.OpenForReading(path), path);
  std::string_view text = bytes;
  std::string_view alphabet = "ISO";  // smstools' default
  FeedMessage message;
  for (;;) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos)
      throw RelayError(path + " has no empty line after its headers");
    const std::string_view line = WithoutLastLineEnd(text.substr(0, end + 1));
    text.remove_prefix(end + 1);
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon), value = TrimBlanks(line.substr(colon + 1));
    if (name == "Alphabet") alphabet = value;
    if (name == "From") message.from = DecodeUtf8(value);
    if (name == "From_SMSC") message.smsc = DecodeUtf8(value);
    if (name == "Subject") message.modem = DecodeUtf8(value);
    if (name != "Received") continue;
    // "26-12-07 16:01:59", in smsd's local time.
    if (const auto time = ParseTimeOption("20" + std::string(value))) {
      message.received = Received(input, time->first);
    }
  }
  message.text = DecodeText(alphabet, text, path);
  return message;
}

// Standard input, with the fields that options give.
FeedMessage StandardInputMessage(const FeedInput& input) {
  FeedMessage message;
  const std::vector<std::string>& args = input.arguments;
  for (size_t at = 0; at < args.size(); at += 2) {
    const std::optional<std::pair<CivilTime, std::optional<int>>> time =
        at + 1 < args.size() ? ParseTimeOption(args[at + 1]) : std::nullopt;
    if (args[at] == "--from" && at + 1 < args.size()) {
      message.from = DecodeUtf8(args[at + 1]);
    } else if (args[at] == "--received" && time) {
      message.received =
          ReceivedText(time->first, time->second.value_or(input.local_offset_minutes(time->first)));
    } else {
      throw RelayError(
          "unexpected arguments: give the message on standard input (with --from NUMBER and "
          "--received \"YYYY-MM-DD HH:MM:SS\"), or run it from Gammu's RunOnReceive or as "
          "smstools' eventhandler");
    }
  }
  message.text = DecodeUtf8(WithoutLastLineEnd(ReadAll(input.standard_input, "standard input")));
  return message;
}

}  // namespace

std::optional<FeedMessage> MessageToFeed(const FeedInput& input) {
  if (input.environment("SMS_MESSAGES")) return GammuMessage(input);
  const std::vector<std::string>& args = input.arguments;
  if (args.empty() || args[0].starts_with("--")) return StandardInputMessage(input);
  for (const char* event : {"SENT", "FAILED", "REPORT", "CALL"}) {
    if (args[0] == event) return std::nullopt;
  }
  if (args[0] == "RECEIVED" && args.size() >= 2) return SmstoolsMessage(input, args[1]);
  throw RelayError(
      "unexpected arguments: give the message on standard input, or run it from "
      "Gammu's RunOnReceive or as smstools' eventhandler");
}

}  // namespace cw
