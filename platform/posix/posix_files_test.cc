// The file rules the real program cannot show cheaply: a claim never replaced, a feed and a claim
// that meet, a path cut at a NUL, records kept whole, nothing but a plain file of one name ever
// opened where others may write, and settings edits that keep the size and the second of the time
// stamp.
#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "base/errors.h"
#include "platform/kept_profile.h"
#include "platform/posix/test_folder.h"
#include "relay/relay.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using namespace std::string_literals;

class PosixFilesTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(dir + "/" + name, std::ios::binary) << data;
  }
  std::string Read(const std::string& name) { return testing::ReadFile(dir + "/" + name); }

  testing::TestFolder folder;
  const std::string dir = folder.path;
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
  // A failed-message file on another file system (here /dev/shm) is claimed by a copy.
  const std::string elsewhere = "/dev/shm/cw-kept-" + std::to_string(getpid());
  std::ofstream(elsewhere, std::ios::binary) << "kept\r\n";
  fs.Delete(claim);
  EXPECT_TRUE(fs.Claim(elsewhere, claim));
  EXPECT_EQ(Read("in.txt.$$$"), "kept\r\n");
  EXPECT_FALSE(fs.Exists(elsewhere));
  // A path is all of its bytes: one with a NUL names no file, not the file before the NUL.
  EXPECT_THROW(fs.OpenForReading(dir + std::string("/in.txt.$$$\0x", 13)), RelayError);
}

// The failed-message file keeps what it held: a last line without a line end gets CR LF first (a
// lone CR is one already), and an append that the file size limit cuts short is undone at once. A
// line keeps all of its bytes.
TEST_F(PosixFilesTest, AppendLineKeepsWhatTheFileHeld) {
  const std::string path = dir + "/failed.txt";
  Write("failed.txt", "notes\n");
  EXPECT_TRUE(fs.AppendLine(path, "a\0\xff"s));
  EXPECT_FALSE(fs.AppendLine(path, "b"));
  Write("cr.txt", "c\r");
  EXPECT_FALSE(fs.AppendLine(dir + "/cr.txt", "d"));
  EXPECT_EQ(Read("cr.txt"), "c\rd\r\n");
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit low{20, limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  EXPECT_THROW(fs.AppendLine(path, std::string(100, 'x')), RelayError);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_EQ(Read("failed.txt"), "notes\n\r\na\0\xff\r\nb\r\n"s);
}

// A relay in dir on these real files, the rest of the platform on fakes: each of its messages
// fails when fail is set.
struct RelayOnFiles {
  explicit RelayOnFiles(const std::string& dir) : folder(dir + "/") {
    fakes.process.directory = dir;
    fakes.SetIni("Protocol", "URL", "http://127.0.0.1:9/");
    fakes.SetIni("Protocol", "XML", "<sms>[Message]</sms>");
  }
  std::string folder;
  testing::FakePlatform fakes;
  PosixFileSystem files;
  Platform platform{fakes.window,  fakes.loop,  fakes.http,    fakes.service, files,
                    fakes.profile, fakes.clock, fakes.process, fakes.watch};
  Log log{fakes.window.list, fakes.clock};
  Relay relay{platform, log, folder};
};

// Where others may write, only a plain file of one name is opened. For each place the relay and
// a feed open, each thing that a member of the spool's group may put there is refused and named
// in the log once, stays where it is, and what it leads to is neither read nor changed; the relay
// goes on and delivers the next message.
TEST_F(PosixFilesTest, NothingButAPlainFileOfOneNameIsOpened) {
  const std::string secret = dir + "/secret", incoming = dir + "/InComingSMS.txt";
  const std::pair<const char*, std::function<void(const std::string&)>> kinds[] = {
      {"link", [&](const std::string& at) { ASSERT_EQ(symlink(secret.c_str(), at.c_str()), 0); }},
      {"dangling link", [&](const std::string& at) { ASSERT_EQ(symlink("none", at.c_str()), 0); }},
      {"hard link", [&](const std::string& at) { ASSERT_EQ(link(secret.c_str(), at.c_str()), 0); }},
      {"FIFO", [&](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }},
      {"folder", [&](const std::string& at) { ASSERT_EQ(mkdir(at.c_str(), 0777), 0); }}};
  // Where the thing stands, and what the log says of it.
  const std::pair<std::string, std::string> places[] = {
      {"InComingSMS.txt", "Corbelwynford cannot claim " + incoming},
      {"InComingSMS.txt.$$$", "Corbelwynford cannot read " + incoming + ".$$$"},
      {"failed.txt", "Corbelwynford could not keep the failed message in " + dir + "/failed.txt"},
      {"retried.txt", "Corbelwynford cannot send " + dir + "/retried.txt again"},
      {"feed", ""}};
  for (const auto& [name, said] : places) {
    for (const auto& [kind, make] : kinds) {
      SCOPED_TRACE(name + " " + kind);
      std::filesystem::remove_all(dir);
      ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
      Write("secret", "SECRET\r\n");
      const std::string at = dir + "/" + (name == "feed" ? "InComingSMS.txt" : name);
      make(at);
      struct stat before {
      }, after{};
      ASSERT_EQ(lstat(at.c_str(), &before), 0);
      std::optional<RelayOnFiles> f;
      if (name == "feed") {
        EXPECT_THROW(fs.AppendForRelay(at, "fed\r\n", 10000), RefusedFile);
      } else {
        f.emplace(dir);
        f->fakes.SetIni("General", "FailedFile", name == "retried.txt" ? name : "failed.txt");
        f->fakes.SetIni("General", "RetryAfter", name == "retried.txt" ? "1" : "0");
        f->fakes.clock.now = time(nullptr) + 10;
        f->fakes.http.fail_post = name == "failed.txt";
        if (name == "failed.txt") Write("InComingSMS.txt", "m\r\n");
        f->relay.ScanTick();
        f->relay.ScanTick();
        const std::vector<std::string> log = f->fakes.Log();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [&](const std::string& e) { return e.starts_with(said); }),
                  1)
            << ::testing::PrintToString(log);
        for (const std::string& body : f->fakes.http.bodies) EXPECT_EQ(body, "<sms>m</sms>");
      }
      ASSERT_EQ(lstat(at.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(Read("secret"), "SECRET\r\n");
      if (!f) continue;
      // The relay goes on.
      if (name != "failed.txt") std::filesystem::remove_all(at);
      Write("InComingSMS.txt", "next\r\n");
      f->fakes.http.fail_post = false;
      f->relay.ScanTick();
      EXPECT_EQ(f->fakes.http.bodies.back(), "<sms>next</sms>");
    }
  }
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
