#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/posix/posix_process.h"

namespace cw {
namespace {

class PosixFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cw-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(dir + "/" + name, std::ios::binary) << data;
  }
  std::string ReadAll(const std::string& name) {
    auto file = fs.OpenForReading(dir + "/" + name);
    std::string data;
    char buffer[3];
    for (size_t n; (n = file->Read(buffer, sizeof buffer)) > 0;) data.append(buffer, n);
    return data;
  }
  bool Exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }

  std::string dir;
  PosixFileSystem fs;
};

TEST_F(PosixFilesTest, RenameNeverReplacesAnExistingClaimFile) {
  Write("in.txt", "new");
  Write("in.txt.$$$", "old messages");
  EXPECT_THROW(fs.RenameNoReplace(dir + "/in.txt", dir + "/in.txt.$$$"), RelayError);
  EXPECT_EQ(ReadAll("in.txt.$$$"), "old messages");
  EXPECT_EQ(ReadAll("in.txt"), "new");
  fs.Delete(dir + "/in.txt.$$$");
  fs.RenameNoReplace(dir + "/in.txt", dir + "/in.txt.$$$");
  EXPECT_FALSE(Exists("in.txt"));
  EXPECT_EQ(ReadAll("in.txt.$$$"), "new");
  EXPECT_THROW(fs.RenameNoReplace(dir + "/missing", dir + "/x"), RelayError);
}

TEST_F(PosixFilesTest, ReadsEveryByteAndRefusesWhatIsNotARegularFile) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  Write("bytes", all);
  EXPECT_EQ(ReadAll("bytes"), all);

  ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
  EXPECT_THROW(fs.OpenForReading(dir + "/folder"), RelayError);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
  EXPECT_THROW(fs.OpenForReading(dir + "/fifo"), RelayError);  // and does not block
  ASSERT_EQ(symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str()), 0);
  EXPECT_THROW(fs.OpenForReading(dir + "/dangling"), RelayError);
  EXPECT_THROW(fs.OpenForReading(std::string("bytes\0x", 7)), RelayError);
  EXPECT_THROW(fs.Delete(dir + "/missing"), RelayError);
}

TEST_F(PosixFilesTest, ProfileReaderGivesDefaultsForWhatIsNotAFile) {
  PosixProfileReader reader;
  Write("Corbelwynford.INI", "[General]\r\nScanInterval = 7\r\n");
  EXPECT_EQ(
      reader.GetPrivateProfileString("general", "scaninterval", "10", dir + "/Corbelwynford.INI"),
      "7");
  EXPECT_EQ(
      reader.GetPrivateProfileString("General", "FileToScan", "In.txt", dir + "/Corbelwynford.INI"),
      "In.txt");
  ASSERT_EQ(mkdir((dir + "/folder.INI").c_str(), 0755), 0);
  EXPECT_EQ(reader.GetPrivateProfileString("General", "ScanInterval", "10", dir + "/folder.INI"),
            "10");
  ASSERT_EQ(mkfifo((dir + "/fifo.INI").c_str(), 0644), 0);
  EXPECT_EQ(reader.GetPrivateProfileString("General", "ScanInterval", "10", dir + "/fifo.INI"),
            "10");
  EXPECT_EQ(reader.GetPrivateProfileString("General", "ScanInterval", "10", dir + "/none.INI"),
            "10");
}

TEST(PosixProcessTest, ExecutableDirectoryAndCommandLine) {
  char arg0[] = "prog", arg1[] = "/i", arg2[] = "two words";
  char* argv[] = {arg0, arg1, arg2};
  PosixProcess process(3, argv, nullptr);
  EXPECT_EQ(process.CommandLine(), "/i two words");
  std::string path = PosixProcess::ExecutablePath();
  EXPECT_EQ(path.substr(0, path.rfind('/')), process.ExecutableDirectory());
  EXPECT_FALSE(process.AnotherInstanceRunning());
  EXPECT_FALSE(process.AnotherInstanceRunning());  // the lock is this process's own
}

}  // namespace
}  // namespace cw
