#include "platform/posix/posix_files.h"

#include <fcntl.h>
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

TEST_F(PosixFilesTest, AnAppendedLineIsWholeOnDiskAndCutsOffATornTail) {
  const std::string failed = dir + "/failed.txt";
  fs.AppendLine(failed, std::string("a\0\n\xff", 4));
  Write("torn.txt", "whole\r\nhalf a li");  // an append that a crash cut short
  fs.AppendLine(dir + "/torn.txt", "next");
  EXPECT_EQ(ReadAll("failed.txt"), std::string("a\0\n\xff\r\n", 6));
  EXPECT_EQ(ReadAll("torn.txt"), "whole\r\nnext\r\n");
  EXPECT_THROW(fs.AppendLine(dir, "x"), RelayError);
}

TEST_F(PosixFilesTest, TheSettingsFileIsReadAgainWhenItChangedAndDefaultsWhenItIsNoFile) {
  PosixProfileReader reader;
  const std::string ini = dir + "/Corbelwynford.INI";
  auto get = [&](const std::string& path) {
    return reader.GetPrivateProfileString("general", "scaninterval", "10", path);
  };
  // Edits that keep the size, one at this moment and one with an old time stamp that differs
  // from the last only in its nanoseconds.
  Write("Corbelwynford.INI", "[General]\nScanInterval=7\n");
  EXPECT_EQ(get(ini), "7");
  Write("Corbelwynford.INI", "[General]\nScanInterval=8\n");
  EXPECT_EQ(get(ini), "8");
  for (long ns : {100, 200}) {
    Write("Corbelwynford.INI", "[General]\nScanInterval=" + std::to_string(ns / 100) + "\n");
    const timespec times[2] = {{1'000'000'000, ns}, {1'000'000'000, ns}};
    ASSERT_EQ(utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
    EXPECT_EQ(get(ini), std::to_string(ns / 100));
  }
  ASSERT_EQ(mkdir((dir + "/folder.INI").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo.INI").c_str(), 0644), 0);
  for (const char* name : {"/folder.INI", "/fifo.INI", "/none.INI"})
    EXPECT_EQ(get(dir + name), "10");
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
