#include "settings/profile_format.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace cw {
namespace {

using namespace std::string_literals;

// The rules of the Windows profile reader that operators' files were written for, one row each:
// the file, the section and key asked for, and the value (or "<default>").
struct Row {
  std::string file, section, key, expected;
};

const std::string kLong = [] {
  std::string v(3000, ' ');
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char>('a' + i % 26);
  return v;
}();
const std::string kInner = "a" + std::string(5000, ' ') + "b";

const Row kRows[] = {
    {"", "General", "ScanInterval", "<default>"},
    {"[Protocol]\nISOtoUTF8=\n", "Protocol", "ISOtoUTF8", ""},  // empty is not the default
    {"URL=no section\n[General]\nURL=g\n[Protocol]\n", "Protocol", "URL", "<default>"},
    {"[gEnErAl]\nscaninterval=7\n", "General", "ScanInterval", "7"},
    {"[S]\n\xC4k=upper\n\xE4k=lower\n", "S", "\xE4k", "lower"},  // only ASCII letters fold
    {"  [ \tGeneral\t ]  words\n \t ScanInterval \t=\t  2 5 \t \n", " General ", "ScanInterval",
     "2 5"},
    {"[P]\nXML=<a b=\"1\">=</a>\n", "P", "XML", "<a b=\"1\">=</a>"},
    {"[P]\n==x\n", "P", "", "=x"},
    {"[P]\na=\"  spaced  \"\n", "P", "a", "  spaced  "},
    {"[P]\nb='single'\n", "P", "b", "single"},
    {"[P]\nc=\"mismatched'\n", "P", "c", "\"mismatched'"},
    {"[P]\nd=\"\n", "P", "d", "\""},
    {"[P]\nh=\"in\" \"ner\"\n", "P", "h", "in\" \"ner"},
    {"[P]\ni=x\"y\"\n", "P", "i", "x\"y\""},
    {"[General]\nScanInterval=1\nscaninterval=2\n", "General", "ScanInterval", "1"},
    {"[General]\n[Protocol]\n[General]\nFileToScan=late\n", "General", "FileToScan", "<default>"},
    {"[Protocol]\n;URL=c\n  ; x=1\nwords\n[Broken\nURL=real\n", "Protocol", "URL", "real"},
    {"[Protocol]\n;URL=c\n", "Protocol", ";URL", "<default>"},
    {"\xEF\xBB\xBF[General]\r\nA=4\r\nB=a\r[Protocol]\rURL=u\r\n", "General", "B", "a"},
    {"[General]\n\xEF\xBB\xBFScanInterval=4\n", "General", "ScanInterval", "<default>"},
    {"[P]\nXML=" + kLong + "\nURL=after\n", "P", "XML", kLong.substr(0, kMaxProfileValue)},
    {"[P]\nXML=" + kLong + "\nURL=after\n", "P", "URL", "after"},
    {"[P]\nq=\"" + kInner + "\"\n", "P", "q", kInner.substr(0, kMaxProfileValue)},
    {"[P]\nt=a" + std::string(5000, ' ') + "\n", "P", "t", "a"},
    {"[P]\n" + std::string(3'000'000, 'x') + "=1\n" + std::string(100'000, ' ') + "[Q]\nkey" +
         std::string(100'000, '\t') + "=" + std::string(100'000, ' ') + "v\n",
     "Q", "key", "v"},
    {"[P]\nk\0ey=v\0al\nkey=plain\n"s, "P", "k\0ey"s, "v\0al"s},
    {"[P]\nk\0ey=v\0al\nkey=plain\n"s, "P", "k", "<default>"},
};

TEST(ProfileFormat, ReadsLikeTheWindowsProfileReader) {
  for (const Row& row : kRows) {
    std::istringstream in(row.file);
    EXPECT_EQ(ReadProfileValue(in, row.section, row.key, "<default>"), row.expected)
        << row.file.substr(0, 80) << " [" << row.section << "] " << row.key;
  }
}

}  // namespace
}  // namespace cw
