// The feed's rules that the daemons in the end-to-end test do not reach: bytes that are not
// UTF-8, a lone CR, broken UCS-2, Gammu without decoded parts, and input it refuses.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "feed/message_sources.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using namespace std::string_literals;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(Feed, RecordsInBothCharsetsAndRefusals) {
  // The environment as "NAME=value" words, the arguments, standard input (or the smstools file
  // "f"), and the record in Latin-1 and in UTF-8 without its CR LF (nullptr: refused).
  const struct {
    std::string env, args, input;
    const char *latin1, *utf8;
  } rows[] = {
      // A byte that begins no UTF-8 sequence is its Latin-1 character: a stray, an overlong, a
      // surrogate.
      {"", "", "x\xE9y \xC0\xAF \xED\xA0\x80", "x\xE9y \xC0\xAF \xED\xA0\x80",
       "x\xC3\xA9y \xC3\x80\xC2\xAF \xC3\xAD\xC2\xA0\xC2\x80"},
      {"", "", "a\rb\r\n\r\n", "a\nb\n", "a\nb\n"},
      {"", "", "\xE2\x80\x9Cq\xE2\x80\x9D \xE2\x80\xA6\n", "\"q\" ...",
       "\xE2\x80\x9Cq\xE2\x80\x9D \xE2\x80\xA6"},
      {"", "RECEIVED f", "Alphabet: UCS2\n\n\xD8\x00\x00\x41\x00"s, "?A", "\xEF\xBF\xBD\x41"},
      {"SMS_MESSAGES=2 DECODED_PARTS=0 SMS_1_TEXT=ab SMS_2_TEXT=c", "IN1.txt IN2.txt", "", "abc",
       "abc"},
      {"", "RECEIVED f", "Alphabet: binary\n\n\x01\x02", nullptr, nullptr},
      {"", "RECEIVED f", "From: 1\n", nullptr, nullptr},
      {"SMS_MESSAGES=1", "", "", nullptr, nullptr},
      {"SMS_MESSAGES=x", "", "", nullptr, nullptr},
      {"", "hello", "", nullptr, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    testing::FakeFileSystem files;
    files.files["f"] = files.files["stdin"] = row.input;
    auto standard_input = files.OpenForReading("stdin");
    const std::vector<std::string> env = Words(row.env);
    const FeedInput input{Words(row.args),
                          [&](const std::string& name) -> std::optional<std::string> {
                            for (const std::string& word : env)
                              if (word.starts_with(name + "=")) return word.substr(name.size() + 1);
                            return std::nullopt;
                          },
                          *standard_input, files};
    if (row.latin1 == nullptr) {
      EXPECT_THROW(MessageToFeed(input), RelayError);
      continue;
    }
    const MessageText text = MessageToFeed(input).value();
    EXPECT_EQ(FeedRecord(text, FeedCharset::kLatin1), row.latin1 + "\r\n"s);
    EXPECT_EQ(FeedRecord(text, FeedCharset::kUtf8), row.utf8 + "\r\n"s);
  }
  EXPECT_EQ(FeedCharsetFromSetting("utf-8"), FeedCharset::kUtf8);
  EXPECT_EQ(FeedCharsetFromSetting("latin1"), std::nullopt);
}

}  // namespace
}  // namespace cw
