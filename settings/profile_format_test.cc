#include "settings/profile_format.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <streambuf>
#include <string>

namespace cw {
namespace {

namespace fs = std::filesystem;

// Each test writes real files into a folder of its own and reads them back through ifstream.
class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "cw_profile_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ / "Corbelwynford.INI";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& content) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good());
  }

  std::string Get(std::string_view section, std::string_view key,
                  std::string_view default_value = "<default>") {
    std::ifstream in(path_, std::ios::binary);
    return ReadProfileValue(in, section, key, default_value);
  }

  fs::path dir_;
  fs::path path_;
};

TEST_F(ProfileFileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(Get("General", "ScanInterval", "10"), "10");
  Write("[General]\nScanInterval=5\n");
  EXPECT_EQ(Get("General", "ScanInterval", "10"), "5");
  EXPECT_EQ(Get("General", "FileToScan", "InComingSMS.txt"), "InComingSMS.txt");
  EXPECT_EQ(Get("Protocol", "ScanInterval", "10"), "10");
  EXPECT_EQ(Get("General", "ScanInterval", ""), "5");
}

TEST_F(ProfileFileTest, EmptyValueIsNotTheDefault) {
  Write("[Protocol]\nISOtoUTF8=\nURL =   \n");
  EXPECT_EQ(Get("Protocol", "ISOtoUTF8", "0"), "");
  EXPECT_EQ(Get("Protocol", "URL", "x"), "");
  EXPECT_EQ(Get("Protocol", "ISOtoDOS", "0"), "0");
}

TEST_F(ProfileFileTest, KeyInTheWrongSectionIsNotFound) {
  Write("URL=before any section\n[General]\nURL=http://wrong\n[Protocol]\nXML=<a/>\n");
  EXPECT_EQ(Get("Protocol", "URL"), "<default>");
  EXPECT_EQ(Get("General", "XML"), "<default>");
  EXPECT_EQ(Get("General", "URL"), "http://wrong");
}

TEST_F(ProfileFileTest, NamesMatchWithoutRegardToCase) {
  Write("[gEnErAl]\nscaninterval=7\n[PROTOCOL]\nUrl=http://h/\xC4=\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "7");
  EXPECT_EQ(Get("protocol", "URL"), "http://h/\xC4=");
  EXPECT_EQ(Get("Protocol", "Url2"), "<default>");
  EXPECT_EQ(Get("Protoco", "URL"), "<default>");
}

TEST_F(ProfileFileTest, ByteAboveAsciiMatchesOnlyItself) {
  Write("[S]\n\xC4k=upper\n\xE4k=lower\n");
  EXPECT_EQ(Get("S", "\xE4k"), "lower");
  EXPECT_EQ(Get("S", "\xC4K"), "upper");
}

TEST_F(ProfileFileTest, BlanksAroundNamesAndValuesAreDropped) {
  Write("  [ \tGeneral\t ]  trailing words\n \t ScanInterval \t=\t  2 5 \t \nFile To Scan = a\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "2 5");
  EXPECT_EQ(Get("General", "File To Scan"), "a");
  EXPECT_EQ(Get("General", "FileToScan"), "<default>");
  EXPECT_EQ(Get(" General ", "\tScanInterval "), "2 5");
}

TEST_F(ProfileFileTest, KeyIsTheTextBeforeTheFirstEquals) {
  Write("[P]\nXML=<a b=\"1\">=</a>\n==x\n");
  EXPECT_EQ(Get("P", "XML"), "<a b=\"1\">=</a>");
  EXPECT_EQ(Get("P", ""), "=x");
}

TEST_F(ProfileFileTest, MatchingQuotesAreRemoved) {
  Write(
      "[P]\n"
      "a=\"  spaced  \"\n"
      "b='single'\n"
      "c=\"mismatched'\n"
      "d=\"\n"
      "e='\n"
      "f=\"\"\n"
      "g=  \"x\"  \n"
      "h=\"inner\" \"quotes\"\n"
      "i=x\"y\"\n");
  EXPECT_EQ(Get("P", "a"), "  spaced  ");
  EXPECT_EQ(Get("P", "b"), "single");
  EXPECT_EQ(Get("P", "c"), "\"mismatched'");
  EXPECT_EQ(Get("P", "d"), "\"");
  EXPECT_EQ(Get("P", "e"), "'");
  EXPECT_EQ(Get("P", "f"), "");
  EXPECT_EQ(Get("P", "g"), "x");
  EXPECT_EQ(Get("P", "h"), "inner\" \"quotes");
  EXPECT_EQ(Get("P", "i"), "x\"y\"");
}

TEST_F(ProfileFileTest, FirstOccurrenceCounts) {
  Write(
      "[General]\nScanInterval=1\nscaninterval=2\n[Protocol]\nURL=u\n"
      "[General]\nScanInterval=3\nFileToScan=late.txt\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "1");
  // Only the first section of a name is read.
  EXPECT_EQ(Get("General", "FileToScan"), "<default>");
}

TEST_F(ProfileFileTest, CommentsAndOddLinesArePassedOver) {
  Write(
      "; Corbelwynford settings\n"
      "[Protocol]\n"
      ";URL=http://commented\n"
      "  ; WaitForAnswer=1\n"
      "just some words\n"
      "[Broken\n"
      "URL=http://real\n"
      "WaitForAnswer=30\n");
  EXPECT_EQ(Get("Protocol", "URL"), "http://real");
  EXPECT_EQ(Get("Protocol", "WaitForAnswer"), "30");
  EXPECT_EQ(Get("Protocol", ";URL"), "<default>");
  EXPECT_EQ(Get("Broken", "URL"), "<default>");
}

TEST_F(ProfileFileTest, LineEndsOfEveryKind) {
  Write("\xEF\xBB\xBF[General]\r\nScanInterval=4\r\nFileToScan=a.txt\r[Protocol]\rURL=u\r\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "4");
  EXPECT_EQ(Get("General", "FileToScan"), "a.txt");
  EXPECT_EQ(Get("Protocol", "URL"), "u");
}

TEST_F(ProfileFileTest, ByteOrderMarkOnlyAtTheStart) {
  Write("\xEF\xBB\xBF[General]\nScanInterval=4");
  EXPECT_EQ(Get("General", "ScanInterval"), "4");  // no line end after the last line
  Write("[General]\n\xEF\xBB\xBFScanInterval=4\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "<default>");
  Write("\xEF\xBB");
  EXPECT_EQ(Get("General", "ScanInterval"), "<default>");
}

TEST_F(ProfileFileTest, LongValueIsCutTo2047Bytes) {
  std::string value(3000, 'v');
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>('a' + i % 26);
  Write("[Protocol]\nXML=" + value + "\nURL=after\n");
  EXPECT_EQ(Get("Protocol", "XML"), value.substr(0, kMaxProfileValue));
  EXPECT_EQ(Get("Protocol", "URL"), "after");
  Write("[Protocol]\nXML=" + value.substr(0, kMaxProfileValue) + "\n");
  EXPECT_EQ(Get("Protocol", "XML"), value.substr(0, kMaxProfileValue));
}

TEST_F(ProfileFileTest, LongValueKeepsInnerBlanksAndLosesOnlyItsQuotes) {
  // The blanks inside are part of the value; only the end of the whole value tells that.
  const std::string inner = "a" + std::string(5000, ' ') + "b";
  Write("[P]\nk=  " + inner + "  \nq=\"" + inner + "\"\nr=\"" + inner + "'\nt=a" +
        std::string(5000, ' ') + "\n");
  EXPECT_EQ(Get("P", "k"), inner.substr(0, kMaxProfileValue));
  EXPECT_EQ(Get("P", "q"), inner.substr(0, kMaxProfileValue));
  EXPECT_EQ(Get("P", "r"), ("\"" + inner).substr(0, kMaxProfileValue));
  EXPECT_EQ(Get("P", "t"), "a");
}

TEST_F(ProfileFileTest, HugeLinesElsewhereDoNotHideTheKey) {
  Write("[P]\n" + std::string(3'000'000, 'x') + "=1\n" + std::string(100'000, ' ') + "[Q]  \nkey" +
        std::string(100'000, '\t') + "=" + std::string(100'000, ' ') + "v\n");
  EXPECT_EQ(Get("Q", "key"), "v");
}

TEST_F(ProfileFileTest, NulBytesAreOrdinaryBytes) {
  using namespace std::string_literals;
  Write("[P]\nk\0ey=v\0al\nkey=plain\n"s);
  EXPECT_EQ(Get("P", "key"), "plain");
  EXPECT_EQ(Get("P", "k\0ey"s), "v\0al"s);
  EXPECT_EQ(Get("P", "k"), "<default>");
}

TEST_F(ProfileFileTest, DirectoryGivesTheDefault) {
  std::ifstream in(dir_, std::ios::binary);
  EXPECT_EQ(ReadProfileValue(in, "General", "ScanInterval", "10"), "10");
}

TEST_F(ProfileFileTest, BinaryGarbageGivesTheDefault) {
  std::string garbage;
  unsigned state = 12345;
  for (int i = 0; i < 200'000; ++i) {
    state = state * 1103515245 + 12345;
    char c = static_cast<char>(state >> 16);
    if (c == '[' || c == '=') c = 'x';  // keep it free of anything that could look like a key
    garbage += c;
  }
  Write(garbage);
  EXPECT_EQ(Get("General", "ScanInterval"), "<default>");
  Write(garbage + "\n[General]\nScanInterval=9\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "9");
}

TEST_F(ProfileFileTest, AnEditIsSeenByTheNextRead) {
  Write("[General]\nScanInterval=10\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "10");
  Write("[General]\nScanInterval=25\n");
  EXPECT_EQ(Get("General", "ScanInterval"), "25");
  fs::remove(path_);
  EXPECT_EQ(Get("General", "ScanInterval"), "<default>");
}

// A stream buffer that hands out its text and then fails with an exception, as a read error does.
class FailingBuf : public std::streambuf {
 public:
  explicit FailingBuf(std::string text) : text_(std::move(text)) {
    setg(text_.data(), text_.data(), text_.data() + text_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("disk gone"); }

 private:
  std::string text_;
};

TEST(ProfileStreamTest, FailureMidWayGivesTheDefault) {
  FailingBuf buf("[General]\nScanInterval=12");
  std::istream in(&buf);
  EXPECT_EQ(ReadProfileValue(in, "General", "ScanInterval", "10"), "10");

  FailingBuf thrower("[General]\nScanInterval=12");
  std::istream loud(&thrower);
  loud.exceptions(std::ios::badbit | std::ios::failbit);
  EXPECT_EQ(ReadProfileValue(loud, "General", "ScanInterval", "10"), "10");
}

TEST(ProfileStreamTest, KeyFoundBeforeTheFailureIsKept) {
  // The first blocks arrive whole; the read error comes well after the key.
  FailingBuf buf("[General]\nScanInterval=12\n" + std::string(20'000, ';') + "\nFileToScan=x");
  std::istream in(&buf);
  EXPECT_EQ(ReadProfileValue(in, "General", "ScanInterval", "10"), "12");
  FailingBuf again("[General]\nScanInterval=12\n" + std::string(20'000, ';') + "\nFileToScan=x");
  std::istream in2(&again);
  EXPECT_EQ(ReadProfileValue(in2, "General", "FileToScan", "InComingSMS.txt"), "InComingSMS.txt");
}

TEST(ProfileStreamTest, ExceptionMaskAtEndOfStreamIsNoFailure) {
  std::istringstream in("[General]\nScanInterval=12");
  in.exceptions(std::ios::badbit | std::ios::failbit | std::ios::eofbit);
  EXPECT_EQ(ReadProfileValue(in, "General", "ScanInterval", "10"), "12");
}

TEST(ProfileStreamTest, StopsReadingOnceTheKeyIsFound) {
  std::istringstream in("[General]\nScanInterval=12\n" + std::string(100'000, 'z'));
  EXPECT_EQ(ReadProfileValue(in, "General", "ScanInterval", "10"), "12");
  EXPECT_LT(in.tellg(), 10'000);
}

}  // namespace
}  // namespace cw
