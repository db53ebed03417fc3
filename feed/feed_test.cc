// The feed's rules that the daemons in the end-to-end test do not reach: bytes that are not
// UTF-8, a lone CR, broken UCS-2, the GSM alphabet, Gammu without decoded parts, input it refuses,
// and what each source gives the record's fields.
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

// The message that a feed finds with the environment env ("NAME=value" each), the arguments args
// and contents both on standard input and in the smstools file "f"; local time is an hour east.
FeedMessage Fed(const std::vector<std::string>& env, const std::string& args,
                const std::string& contents) {
  testing::FakeFileSystem files;
  files.files["f"] = files.files["stdin"] = contents;
  auto standard_input = files.OpenForReading("stdin");
  const FeedInput input{Words(args),
                        [&](const std::string& name) -> std::optional<std::string> {
                          for (const std::string& word : env)
                            if (word.starts_with(name + "=")) return word.substr(name.size() + 1);
                          return std::nullopt;
                        },
                        *standard_input, files, [](const CivilTime&) { return 60; }};
  const std::optional<FeedMessage> message = MessageToFeed(input);
  if (!message) throw RelayError("nothing to feed");
  return *message;
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
      // smstools' GSM alphabet (cs_convert = no): Latin letters, Greek, the euro sign escaped.
      {"", "RECEIVED f", "Alphabet: GSM\n\n\x01\x00\x7d\x10\x1b\x65\x1b\x41\x80"s,
       "\xA3@\xF1?EURA?",
       "\xC2\xA3@\xC3\xB1\xCE\x94\xE2\x82\xAC"
       "A\xEF\xBF\xBD"},
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
    if (row.latin1 == nullptr) {
      EXPECT_THROW(Fed(Words(row.env), row.args, row.input), RelayError);
      continue;
    }
    const MessageText text = Fed(Words(row.env), row.args, row.input).text;
    EXPECT_EQ(FeedRecord(text, FeedCharset::kLatin1), row.latin1 + "\r\n"s);
    EXPECT_EQ(FeedRecord(text, FeedCharset::kUtf8), row.utf8 + "\r\n"s);
  }
  EXPECT_EQ(FeedCharsetFromSetting("utf-8"), FeedCharset::kUtf8);
  EXPECT_EQ(FeedCharsetFromSetting("latin1"), std::nullopt);
}

// Every field from each source into FeedFormat, a field the source does not give left empty, and
// the formats every feed refuses.
TEST(Feed, FieldsFromEachSourceInTheAdministratorsFormat) {
  const std::string kSmstools =
      "From: 4917012345678\nFrom_SMSC: 491710760000\nSent: 26-12-07 16:01:50\n"
      "Received: 26-12-07 16:01:59\nSubject: GSM1\nAlphabet: ISO\n\nhi";
  const struct {
    std::vector<std::string> env;
    std::string args, input, format;
    const char* record;  // nullptr: the format is refused
  } rows[] = {
      {{"SMS_MESSAGES=1", "SMS_1_TEXT=hi", "SMS_1_NUMBER=+4917012345678", "PHONE_ID=modem7"},
       "/var/spool/gammu/inbox/IN20261207_160159_00_+4917012345678_00.txt",
       "",
       "[From]|[Received]|[Modem]|[SMSC]|[Text]",
       "+4917012345678|2026-12-07T16:01:59+01:00|modem7||hi"},
      {{},
       "RECEIVED f",
       kSmstools,
       "[From]|[Received]|[Modem]|[SMSC]|[Text]",
       "4917012345678|2026-12-07T16:01:59+01:00|GSM1|491710760000|hi"},
      {{},
       "--from +49123 --received 2026-12-07T16:01:59-05:30",
       "hi",
       "[from];[RECEIVED];[Text]",
       "+49123;2026-12-07T16:01:59-05:30;hi"},
      {{}, "", "a\r\nb", "[From]\t[Received]\t[Text]", "\t\ta\nb"},
      // A field never carries a line end; the text keeps its own.
      {{"SMS_MESSAGES=1", "SMS_1_TEXT=x\ry", "SMS_1_NUMBER=+49\r\n1"},
       "",
       "",
       "[From]:[Text]",
       "+49  1:x\ny"},
      {{}, "", "hi", "", "hi"},
      {{}, "", "hi", "[From];[Sender];[Text]", nullptr},
      {{}, "", "hi", "[From];[Received]", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args + " " + row.format);
    if (row.record == nullptr) {
      EXPECT_THROW(FeedFormat::Parse(row.format, "Corbelwynford.INI"), RelayError);
      continue;
    }
    const FeedFormat format = FeedFormat::Parse(row.format, "Corbelwynford.INI");
    EXPECT_EQ(FeedRecord(format.Compose(Fed(row.env, row.args, row.input)), FeedCharset::kUtf8),
              row.record + "\r\n"s);
  }
}

}  // namespace
}  // namespace cw
