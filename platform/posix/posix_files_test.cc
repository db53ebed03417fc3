// The file rules the real program cannot show cheaply: a claim never replaced, a feed and a claim
// that meet, a path cut at a NUL, the failed-message file keeping what it held, and settings edits
// that keep the size and the second of the time stamp.
#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/errors.h"

namespace cw {
namespace {

using namespace std::string_literals;

class PosixFilesTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir); }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(dir + "/" + name, std::ios::binary) << data;
  }
  std::string Read(const std::string& name) {
    std::ostringstream out;
    out << std::ifstream(dir + "/" + name, std::ios::binary).rdbuf();
    return out.str();
  }

  std::string dir = [] {
    char pattern[] = "/tmp/cw-files-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  PosixFileSystem fs;
};

TEST_F(PosixFilesTest, AClaimNeverReplacesAClaimFileNorTakesAFileAFeedIsWriting) {
  const std::string in = dir + "/in.txt", claim = in + ".$$$";
  Write("in.txt", "new\r\n");
  Write("in.txt.$$$", "old messages");
  EXPECT_THROW(fs.Claim(in, claim), RelayError);
  EXPECT_EQ(Read("in.txt.$$$"), "old messages");
  fs.Delete(claim);
  // A feed that opened the file before the claim, and locks it after, writes into a new file.
  const int relay = open(in.c_str(), O_RDONLY);
  ASSERT_EQ(flock(relay, LOCK_EX), 0);
  std::thread feed([&] { fs.AppendForRelay(in, "fed\r\n", 5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(PosixFileSystem().Claim(in, claim));  // the lock is ours here, not the claim's
  ASSERT_EQ(rename(in.c_str(), claim.c_str()), 0);
  close(relay);
  feed.join();
  EXPECT_EQ(Read("in.txt.$$$"), "new\r\n");
  EXPECT_EQ(Read("in.txt"), "fed\r\n");
  struct stat info {};
  ASSERT_EQ(stat(in.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0060, 0060);  // any feeder of the group can append
  // A path is all of its bytes: one with a NUL names no file, not the file before the NUL.
  EXPECT_THROW(fs.OpenForReading(dir + std::string("/in.txt.$$$\0x", 13)), RelayError);
}

// The failed-message file keeps what it held: a last line without CR LF gets one first, and an
// append that the file size limit cuts short is undone at once. A line keeps all of its bytes.
TEST_F(PosixFilesTest, AppendLineKeepsWhatTheFileHeld) {
  const std::string path = dir + "/failed.txt";
  Write("failed.txt", "notes\n");
  EXPECT_TRUE(fs.AppendLine(path, "a\0\xff"s));
  EXPECT_FALSE(fs.AppendLine(path, "b"));
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit low{20, limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  EXPECT_THROW(fs.AppendLine(path, std::string(100, 'x')), RelayError);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_EQ(Read("failed.txt"), "notes\n\r\na\0\xff\r\nb\r\n"s);
}

TEST_F(PosixFilesTest, TheSettingsFileIsReadAgainWhenItChangedAndDefaultsWhenItIsNoFile) {
  KeptProfileReader reader(fs, 0);  // kept at once: no edit is too recent to trust its stamp
  auto get = [&](const std::string& name) {
    return reader.GetPrivateProfileString("general", "scaninterval", "10", dir + name);
  };
  // Edits that keep the size, at this moment (0) or with an old time stamp that differs from the
  // last only in its nanoseconds, or not at all (touch -r puts the old one back).
  for (const auto& [value, ns] :
       {std::pair{"7", 0L}, {"8", 0L}, {"1", 100L}, {"2", 200L}, {"3", 200L}}) {
    Write("Corbelwynford.INI", "[General]\nScanInterval="s + value + "\n");
    const timespec times[2] = {{1'000'000'000, ns}, {1'000'000'000, ns}};
    ASSERT_TRUE(ns == 0 ||
                utimensat(AT_FDCWD, (dir + "/Corbelwynford.INI").c_str(), times, 0) == 0);
    EXPECT_EQ(get("/Corbelwynford.INI"), value);
  }
  ASSERT_EQ(mkdir((dir + "/folder.INI").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo.INI").c_str(), 0644), 0);
  for (const char* name : {"/folder.INI", "/fifo.INI", "/none.INI"}) EXPECT_EQ(get(name), "10");
}

}  // namespace
}  // namespace cw
