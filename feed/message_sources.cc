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

// Gammu's RunOnReceive environment: the text in the daemon's locale, which must be UTF-8.
MessageText GammuMessage(const FeedInput& input) {
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
  return DecodeUtf8(text);
}

// An smstools received file: "Name: value" header lines, an empty line, the text.
MessageText SmstoolsMessage(const FeedInput& input, const std::string& path) {
  const std::string bytes = ReadAll(*input.files.OpenForReading(path), path);
  std::string_view text = bytes;
  std::string_view alphabet = "ISO";  // smstools' default
  for (;;) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos)
      throw RelayError(path + " has no empty line after its headers");
    const std::string_view line = WithoutLastLineEnd(text.substr(0, end + 1));
    text.remove_prefix(end + 1);
    if (line.empty()) break;
    if (line.starts_with("Alphabet:")) {
      alphabet = line.substr(9);
      alphabet.remove_prefix(std::min(alphabet.find_first_not_of(' '), alphabet.size()));
    }
  }
  // smstools itself reads only the first three letters of the name.
  const std::string_view kind = alphabet.substr(0, 3);
  if (EqualsIgnoringCase(kind, "UCS")) return DecodeUtf16BigEndian(text);
  text = WithoutLastLineEnd(text);
  if (EqualsIgnoringCase(kind, "UTF")) return DecodeUtf8(text);
  if (EqualsIgnoringCase(kind, "ISO")) return DecodeLatin9(text);
  throw RelayError(path + " holds no text (Alphabet: " + std::string(alphabet) + ")");
}

}  // namespace

std::optional<MessageText> MessageToFeed(const FeedInput& input) {
  if (input.environment("SMS_MESSAGES")) return GammuMessage(input);
  const std::vector<std::string>& args = input.arguments;
  if (args.empty())
    return DecodeUtf8(WithoutLastLineEnd(ReadAll(input.standard_input, "standard input")));
  for (const char* event : {"SENT", "FAILED", "REPORT", "CALL"}) {
    if (args[0] == event) return std::nullopt;
  }
  if (args[0] == "RECEIVED" && args.size() >= 2) return SmstoolsMessage(input, args[1]);
  throw RelayError(
      "unexpected arguments: give the message on standard input, or run it from "
      "Gammu's RunOnReceive or as smstools' eventhandler");
}

}  // namespace cw
