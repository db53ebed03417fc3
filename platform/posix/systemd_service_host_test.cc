#include "platform/posix/systemd_service_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "platform/errors.h"
#include "platform/posix/run_command.h"

namespace cw {
namespace {

namespace fs = std::filesystem;
constexpr int kSkip = 77;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text,
               fs::perms perms = fs::perms(0644)) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, perms);
}

// Waits at most a minute for a child, then kills it; gives its exit code, or -1.
int WaitBounded(pid_t pid) {
  int status = 0;
  for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 10) {
    if (waited_ms > 60000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs fn in a child that has mounts of its own, so that it can cover system folders with empty
// ones without touching the machine. kSkip when the kernel does not allow it.
int InPrivateMounts(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
      _exit(kSkip);
    }
    _exit(fn());
  }
  return WaitBounded(pid);
}

// Runs a program, collecting its standard error.
int RunCapturingStderr(const std::vector<std::string>& argv, std::string* err) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) err->append(buffer, n);
  close(fds[0]);
  return WaitBounded(pid);
}

class SystemdServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/cw_service_host_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    setenv("CORBELWYNFORD_ROOT", root_.c_str(), 1);
    unsetenv("CORBELWYNFORD_SYSTEMCTL");
    unsetenv("NOTIFY_SOCKET");
    exe_ = root_ + "/opt/odd dir %n;$HOME ${X} ü/corbelwynford";
    WriteFile(exe_, "#!/bin/sh\n", fs::perms(0755));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Store() const { return root_ + "/var/lib/corbelwynford/service.ini"; }
  std::string Unit() const { return root_ + "/etc/systemd/system/corbelwynford.service"; }
  std::string Link() const {
    return root_ + "/etc/systemd/system/multi-user.target.wants/corbelwynford.service";
  }
  bool LinkExists() const { return fs::is_symlink(fs::symlink_status(Link())); }
  // A systemctl that logs its arguments and fails on the verb named in fail_on.
  std::string FakeSystemctl(const std::string& fail_on, bool link_on_enable = false) {
    std::string path = root_ + "/fake-systemctl";
    WriteFile(path,
              "#!/bin/sh\necho \"$*\" >> " + root_ + "/systemctl.log\n" +
                  (link_on_enable ? "[ \"$2\" = enable ] && mkdir -p \"$(dirname '" + Link() +
                                        "')\" && ln -s /nowhere '" + Link() + "'\n"
                                  : "") +
                  "for a; do [ \"$a\" = '" + fail_on + "' ] && exit 1; done\nexit 0\n",
              fs::perms(0755));
    return path;
  }
  std::string SystemctlLog() const { return ReadFile(root_ + "/systemctl.log"); }

  std::string root_;
  std::string exe_;
};

// ---- Settings store
// ------------------------------------------------------------------------------

TEST_F(SystemdServiceHostTest, ReadOfAnythingNeverSavedGivesTheDefault) {
  SystemdServiceHost host(exe_, nullptr);
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "0"), "0");
  EXPECT_FALSE(fs::exists(root_ + "/var")) << "a read creates nothing";
  WriteFile(Store(), "[Other]\nRunAsService=1\n[Parameters]\nRunAsServiceX=1\n");
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "0"), "0");
  fs::remove(Store());
  fs::create_directories(Store());  // unreadable as a file
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "d"), "d");
}

TEST_F(SystemdServiceHostTest, SaveCreatesTheFolderAndKeepsEverythingElse) {
  SystemdServiceHost host(exe_, nullptr);
  host.SaveSetting("Parameters", "RunAsService", "1");
  EXPECT_EQ(host.ReadSetting("parameters", "RUNASSERVICE", "0"), "1");
  EXPECT_EQ(ReadFile(Store()), "[Parameters]\nRunAsService=1\n");

  WriteFile(Store(),
            "; kept\r\n[Other]\r\nRunAsService = 9\r\n[ parameters ]\r\nExtra = x y \r\n"
            "runasservice = 1\r\n\r\n[Last]\r\nk=v\r\n");
  host.SaveSetting("Parameters", "RunAsService", "0");
  host.SaveSetting("Parameters", "Added", "a");
  host.SaveSetting("New", "k", "n");
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"), "0");
  EXPECT_EQ(host.ReadSetting("Other", "RunAsService", "?"), "9");
  EXPECT_EQ(host.ReadSetting("Parameters", "Extra", "?"), "x y");
  EXPECT_EQ(host.ReadSetting("Last", "k", "?"), "v");
  EXPECT_EQ(ReadFile(Store()),
            "; kept\n[Other]\nRunAsService = 9\n[ parameters ]\nExtra = x y \n"
            "RunAsService=0\nAdded=a\n\n[Last]\nk=v\n\n[New]\nk=n\n");
}

TEST_F(SystemdServiceHostTest, ValuesKeepEveryByte) {
  SystemdServiceHost host(exe_, nullptr);
  std::string all_bytes = "  \\x41 \\\\ ";
  for (int c = 0; c < 256; ++c) all_bytes += static_cast<char>(c);
  all_bytes += " \t";
  host.SaveSetting("Parameters", "Bytes", all_bytes);
  host.SaveSetting("Parameters", "Empty", "");
  host.SaveSetting("Parameters", "After", "z");
  EXPECT_EQ(host.ReadSetting("Parameters", "Bytes", "?"), all_bytes);
  EXPECT_EQ(host.ReadSetting("Parameters", "Empty", "?"), "");
  EXPECT_EQ(host.ReadSetting("Parameters", "After", "?"), "z");
}

TEST_F(SystemdServiceHostTest, SaveThatCannotBeDoneThrowsAndKeepsTheOldFile) {
  SystemdServiceHost host(exe_, nullptr);
  EXPECT_THROW(host.SaveSetting("Parameters", "a=b", "1"), RelayError);
  EXPECT_THROW(host.SaveSetting("Para]meters", "k", "1"), RelayError);
  EXPECT_THROW(host.SaveSetting("Parameters", " k", "1"), RelayError);
  EXPECT_THROW(host.SaveSetting("Parameters", std::string("k\nx", 3), "1"), RelayError);
  host.SaveSetting("Parameters", "RunAsService", "1");
  const std::string before = ReadFile(Store());

  // A disk that fills up half-way through the new file: a child limited to 64 bytes per file.
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      host.SaveSetting("Parameters", "RunAsService", std::string(1000, '7'));
    } catch (const RelayError&) {
      _exit(0);
    }
    _exit(1);
  }
  EXPECT_EQ(WaitBounded(pid), 0) << "the save did not throw";
  EXPECT_EQ(ReadFile(Store()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(Store()).parent_path()), {}), 1)
      << "the temporary file was left behind";

  fs::remove(Store());
  fs::create_directories(Store() + "/sub");  // neither readable nor replaceable
  EXPECT_THROW(host.SaveSetting("Parameters", "RunAsService", "1"), RelayError);
  fs::remove_all(root_ + "/var");
  WriteFile(root_ + "/var/lib", "a file where the folder should be");
  EXPECT_THROW(host.SaveSetting("Parameters", "RunAsService", "1"), RelayError);
}

TEST_F(SystemdServiceHostTest, StoreSurvivesACrashInTheMiddleOfASave) {
  SystemdServiceHost host(exe_, nullptr);
  host.SaveSetting("Parameters", "Keep", "yes");
  host.SaveSetting("Parameters", "RunAsService", "old");
  const std::string dir = fs::path(Store()).parent_path();
  WriteFile(dir + "/.service.ini.AbC123", "[Parameters]\nRunAsService=ne");
  WriteFile(dir + "/.service.ini.XyZ789", "");
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"), "old");

  // The child reports each finished save with a byte; in every other round the kill waits for
  // the first one, so that it also lands in later saves, not only in the first.
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> delay_us(0, 4000);
  for (int round = 0; round < 60; ++round) {
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(done[0]);
      try {
        for (int i = 0;; ++i) {
          host.SaveSetting("Parameters", "RunAsService", i % 2 ? "old" : "new");
          if (write(done[1], "s", 1) != 1) break;
        }
      } catch (...) {
      }
      _exit(1);
    }
    close(done[1]);
    if (round % 2 == 1) {
      pollfd ready{done[0], POLLIN, 0};
      ASSERT_EQ(poll(&ready, 1, 20000), 1) << "no save finished in time";
    }
    usleep(delay_us(random));
    kill(pid, SIGKILL);
    close(done[0]);
    ASSERT_EQ(WaitBounded(pid), -1) << "the saving child ended by itself";
    const std::string value = host.ReadSetting("Parameters", "RunAsService", "?");
    ASSERT_TRUE(value == "old" || value == "new") << "round " << round << ": " << value;
    ASSERT_EQ(host.ReadSetting("Parameters", "Keep", "?"), "yes") << "round " << round;
    ASSERT_EQ(ReadFile(Store()), "[Parameters]\nKeep=yes\nRunAsService=" + value + "\n");
  }
  host.SaveSetting("Parameters", "RunAsService", "last");
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"), "last");
}

// ---- Install and uninstall -------------------------------------------------------------------

TEST_F(SystemdServiceHostTest, InstallWritesAnEnabledUnitThatSystemdAccepts) {
  SystemdServiceHost host(exe_, nullptr);
  host.SetInteractive(false);
  host.SetControlsAccepted(5);
  ASSERT_TRUE(host.Install());
  const std::string unit = ReadFile(Unit());
  EXPECT_NE(unit.find("\nDescription=Corbelwynford\n"), std::string::npos);
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=\"" + root_ + "/opt/odd dir %%n;$HOME ${X} ü/corbelwynford\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nStandardInput=null\n"), std::string::npos);
  EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_TRUE(LinkExists());

  // verify also checks that ExecStart names this very file; it may exit 0 despite errors.
  std::string err;
  EXPECT_EQ(RunCapturingStderr({"systemd-analyze", "verify", Unit()}, &err), 0) << err;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.find("corbelwynford"), std::string::npos) << line;
  }
  EXPECT_EQ(
      RunCapturingStderr(
          {"systemctl", "--root=" + root_, "--quiet", "is-enabled", "corbelwynford.service"}, &err),
      0);

  EXPECT_FALSE(host.Install()) << "a second install of the same name";
  EXPECT_EQ(ReadFile(Unit()), unit) << "the failed second install touched the first";
  EXPECT_TRUE(LinkExists());

  EXPECT_TRUE(host.Uninstall());
  EXPECT_FALSE(fs::exists(fs::symlink_status(Unit())));
  EXPECT_FALSE(LinkExists());
  EXPECT_FALSE(host.Uninstall()) << "nothing left to remove";
  EXPECT_TRUE(host.Install()) << "installing again after a removal";
}

TEST_F(SystemdServiceHostTest, ExecutablesSystemdCannotStartAreNotInstalled) {
  for (const std::string& exe : {std::string("relative/corbelwynford"), std::string(""),
                                 root_ + "/a\"quote", root_ + "/a'quote", root_ + "/back\\slash",
                                 root_ + "/new\nline", root_ + "/bad\xff utf8"}) {
    SystemdServiceHost host(exe, nullptr);
    EXPECT_FALSE(host.Install()) << exe;
    EXPECT_FALSE(fs::exists(Unit())) << exe;
    EXPECT_FALSE(LinkExists()) << exe;
  }
}

TEST_F(SystemdServiceHostTest, InstallThatCannotWriteTheUnitRunsNothing) {
  WriteFile(root_ + "/etc/systemd/system", "a file where the unit folder should be");
  setenv("CORBELWYNFORD_SYSTEMCTL", FakeSystemctl("none").c_str(), 1);
  SystemdServiceHost host(exe_, nullptr);
  EXPECT_FALSE(host.Install());
  EXPECT_TRUE(fs::is_regular_file(root_ + "/etc/systemd/system"));
  EXPECT_EQ(SystemctlLog(), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ + "/etc/systemd"), {}), 1);
}

TEST_F(SystemdServiceHostTest, FailingSystemctlUndoesTheInstall) {
  setenv("CORBELWYNFORD_SYSTEMCTL", "/bin/false", 1);
  SystemdServiceHost host(exe_, nullptr);
  EXPECT_FALSE(host.Install());
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(LinkExists());

  // An enable that creates its link and then fails.
  setenv("CORBELWYNFORD_SYSTEMCTL", FakeSystemctl("enable", true).c_str(), 1);
  EXPECT_FALSE(host.Install());
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(LinkExists());
  EXPECT_EQ(SystemctlLog(), "--root=" + root_ + " enable corbelwynford.service\n--root=" + root_ +
                                " disable corbelwynford.service\n");

  setenv("CORBELWYNFORD_SYSTEMCTL", "/nonexistent/systemctl", 1);
  EXPECT_FALSE(host.Install());
  EXPECT_FALSE(fs::exists(Unit()));
}

TEST_F(SystemdServiceHostTest, FailingSystemctlLeavesTheRegistrationWhole) {
  SystemdServiceHost host(exe_, nullptr);
  ASSERT_TRUE(host.Install());
  setenv("CORBELWYNFORD_SYSTEMCTL", "/bin/false", 1);
  EXPECT_FALSE(host.Uninstall());
  EXPECT_TRUE(fs::exists(Unit()));
  EXPECT_TRUE(LinkExists());
  // A systemctl that says yes but leaves the link: the registration is not gone.
  setenv("CORBELWYNFORD_SYSTEMCTL", "/bin/true", 1);
  EXPECT_FALSE(host.Uninstall());
  EXPECT_TRUE(LinkExists());
  // Installing and removing again puts the half-removed registration right.
  unsetenv("CORBELWYNFORD_SYSTEMCTL");
  EXPECT_TRUE(host.Install());
  EXPECT_TRUE(host.Uninstall());
  EXPECT_FALSE(LinkExists());
}

TEST_F(SystemdServiceHostTest, OnTheRunningSystemTheManagerIsReloaded) {
  const std::string fake = FakeSystemctl("none");
  const std::string unit = "/etc/systemd/system/corbelwynford.service";
  int code = InPrivateMounts([&] {
    if (mount("tmpfs", "/etc/systemd/system", "tmpfs", 0, "size=1m") != 0) return kSkip;
    unsetenv("CORBELWYNFORD_ROOT");
    setenv("CORBELWYNFORD_SYSTEMCTL", fake.c_str(), 1);
    SystemdServiceHost host(exe_, nullptr);
    if (!host.Install() || !fs::exists(unit)) return 1;
    if (!host.Uninstall() || fs::exists(unit)) return 2;
    // Without a running systemd the real systemctl cannot reload, and the install is undone.
    unsetenv("CORBELWYNFORD_SYSTEMCTL");
    if (!fs::exists("/run/systemd/system") && (host.Install() || fs::exists(unit))) return 3;
    return 0;
  });
  if (code == kSkip) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(SystemctlLog(),
            "daemon-reload\nenable corbelwynford.service\n"
            "disable corbelwynford.service\ndaemon-reload\n");
}

// ---- Start and the journal ---------------------------------------------------------------------

int BoundDatagramSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

std::string Receive(int fd, int flags = 0) {
  char buffer[65536];
  ssize_t n = recv(fd, buffer, sizeof buffer, flags);
  return n > 0 ? std::string(buffer, n) : "";
}

TEST_F(SystemdServiceHostTest, StartReportsReadinessBeforeCallingBack) {
  int fd = BoundDatagramSocket(root_ + "/notify");
  ASSERT_GE(fd, 0);
  setenv("NOTIFY_SOCKET", (root_ + "/notify").c_str(), 1);
  std::string seen_when_called;
  int calls = 0;
  SystemdServiceHost host(exe_, [&] {
    ++calls;
    seen_when_called = Receive(fd, MSG_DONTWAIT);
  });
  host.Start();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen_when_called, "READY=1");
  close(fd);
}

TEST_F(SystemdServiceHostTest, StartAndLogEventWithoutSystemdGoOn) {
  int calls = 0;
  SystemdServiceHost host(exe_, [&] { ++calls; });
  EXPECT_NO_THROW(host.Start());
  EXPECT_EQ(calls, 1);
  EXPECT_NO_THROW(host.LogEvent(4, 110, "Corbelwynford started"));
  EXPECT_NO_THROW(host.LogEvent(1, -1, std::string("\0\n", 2)));
  EXPECT_EQ(host.DisplayName(), "Corbelwynford");
  SystemdServiceHost no_callback(exe_, nullptr);
  EXPECT_NO_THROW(no_callback.Start());
}

// The journal's native datagram: NAME=value lines, or NAME, a newline, a 64-bit length and the
// bytes for values with line breaks.
std::map<std::string, std::string> ParseJournalEntry(const std::string& data) {
  std::map<std::string, std::string> fields;
  for (size_t at = 0; at < data.size();) {
    size_t end = data.find('\n', at);
    std::string line = data.substr(at, end - at);
    size_t equals = line.find('=');
    if (equals != std::string::npos) {
      fields[line.substr(0, equals)] = line.substr(equals + 1);
      at = end + 1;
    } else {
      uint64_t size = 0;
      std::memcpy(&size, data.data() + end + 1, 8);
      fields[line] = data.substr(end + 9, size);
      at = end + 9 + size + 1;
    }
  }
  return fields;
}

TEST_F(SystemdServiceHostTest, LogEventWritesOneJournalEntryWithItsFields) {
  const std::string out = root_ + "/entries";
  int code = InPrivateMounts([&] {
    if (mount("tmpfs", "/run", "tmpfs", 0, "size=1m") != 0) return kSkip;
    fs::create_directories("/run/systemd/journal");
    int fd = BoundDatagramSocket("/run/systemd/journal/socket");
    if (fd < 0) return 1;
    SystemdServiceHost host(exe_, nullptr);
    host.LogEvent(4, 110, "Corbelwynford started");
    host.LogEvent(1, 7, std::string("a\0b\nc\xff", 6));
    host.LogEvent(2, 8, "w");
    std::ofstream file(out, std::ios::binary);
    for (int i = 0; i < 3; ++i) file << Receive(fd) << '\x01';
    return Receive(fd, MSG_DONTWAIT).empty() ? 0 : 2;
  });
  if (code == kSkip) GTEST_SKIP() << "no private mounts here";
  ASSERT_EQ(code, 0);
  std::vector<std::map<std::string, std::string>> entries;
  std::istringstream all(ReadFile(out));
  for (std::string entry; std::getline(all, entry, '\x01');)
    entries.push_back(ParseJournalEntry(entry));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0]["MESSAGE"], "Corbelwynford started");
  EXPECT_EQ(entries[0]["PRIORITY"], "6");
  EXPECT_EQ(entries[0]["SYSLOG_IDENTIFIER"], "corbelwynford");
  EXPECT_EQ(entries[0]["CORBELWYNFORD_EVENT_ID"], "110");
  EXPECT_EQ(entries[1]["MESSAGE"], std::string("a\0b\nc\xff", 6));
  EXPECT_EQ(entries[1]["PRIORITY"], "3");
  EXPECT_EQ(entries[2]["PRIORITY"], "4");
}

}  // namespace
}  // namespace cw
