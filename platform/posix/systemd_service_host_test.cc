// The service switches through the program's own start-up on the real systemd host: its store
// and its unit, with the real systemctl working offline (--root) on a folder of each test's own.
#include "platform/posix/systemd_service_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/corbelwynford_main.h"
#include "platform/errors.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
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
    // Blanks, a specifier, a variable and a non-ASCII letter: all must reach ExecStart intact.
    exe_ = root_ + "/opt/odd dir %n;$HOME ü/corbelwynford";
    WriteFile(exe_, "#!/bin/sh\n");
    fs::permissions(exe_, fs::perms(0755));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Store() const { return root_ + "/var/lib/corbelwynford/service.ini"; }
  std::string Unit() const { return root_ + "/etc/systemd/system/corbelwynford.service"; }
  bool Linked() const {
    return fs::is_symlink(fs::symlink_status(
        root_ + "/etc/systemd/system/multi-user.target.wants/corbelwynford.service"));
  }

  std::string root_;
  std::string exe_;
};

TEST_F(SystemdServiceHostTest, SwitchesInstallAndRemoveTheUnitAndStoreTheModeOnlyOnSuccess) {
  struct Row {
    const char* name;
    const char* command_line;
    bool installed_before;
    const char* systemctl;  // nullptr: the real one
    bool unusable_executable;
    int status;
    const char* box;  // after the display name
    bool installed_after;
    const char* mode_after;
  };
  const Row rows[] = {
      {"install", "/i", false, nullptr, false, 0, " service installation succeeded", true, "1"},
      {"install twice", "/I", true, nullptr, false, 1, " failed to install as service", true, "0"},
      {"systemctl fails", "/I", false, "/bin/false", false, 1, " failed to install as service",
       false, "0"},
      {"missing systemctl", "/I", false, "/nonexistent", false, 1, " failed to install as service",
       false, "0"},
      {"quote in the path", "/I", false, nullptr, true, 1, " failed to install as service", false,
       "0"},
      {"uninstall", "x/Uninstall", true, nullptr, false, 0, " service uninstalled successfully",
       false, "0"},
      {"nothing to remove", "/U", false, nullptr, false, 1, " failed to uninstall as service",
       false, "1"},
      {"disable fails", "/U", true, "/bin/false", false, 1, " failed to uninstall as service", true,
       "1"},
      {"both switches", "/I /U", true, nullptr, false, 0, " service uninstalled successfully",
       false, "0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(root_ + "/etc");
    fs::remove_all(root_ + "/var");
    const std::string exe = row.unusable_executable ? root_ + "/a\"quote" : exe_;
    SystemdServiceHost host(exe, nullptr);
    if (row.installed_before) {
      ASSERT_TRUE(host.Install());
    }
    // The opposite of what the switch would store, so that a stored flag shows.
    host.SaveSetting("Parameters", "RunAsService", HasSwitch(row.command_line, "/U") ? "1" : "0");
    if (row.systemctl != nullptr) setenv("CORBELWYNFORD_SYSTEMCTL", row.systemctl, 1);

    testing::FakePlatform fake;
    fake.process.command_line = row.command_line;
    Platform platform{fake.window, fake.loop,    fake.inet,  host,
                      fake.files,  fake.profile, fake.clock, fake.process};
    Corbelwynford_Main form(platform);
    int status = -1;
    try {
      form.Form_Load();
    } catch (const testing::ProcessExit& exit) {
      status = exit.status;
    }
    unsetenv("CORBELWYNFORD_SYSTEMCTL");
    EXPECT_EQ(status, row.status);
    ASSERT_EQ(fake.window.boxes.size(), 1u);
    EXPECT_EQ(fake.window.boxes[0].first, std::string("Corbelwynford") + row.box);
    EXPECT_EQ(fs::exists(Unit()), row.installed_after);
    EXPECT_EQ(Linked(), row.installed_after);
    EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"), row.mode_after);
  }
}

TEST_F(SystemdServiceHostTest, InstalledUnitIsOneSystemdAccepts) {
  SystemdServiceHost host(exe_, nullptr);
  ASSERT_TRUE(host.Install());
  const std::string unit = ReadFile(Unit());
  EXPECT_NE(unit.find("\nExecStart=\"" + root_ + "/opt/odd dir %%n;$HOME ü/corbelwynford\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  // verify checks that ExecStart names this very file; it exits 0 despite errors, so read them.
  const std::string err = root_ + "/verify.err";
  const std::string command = "systemd-analyze verify '" + Unit() + "' 2>'" + err + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFile(err).find("corbelwynford"), std::string::npos) << ReadFile(err);
}

TEST_F(SystemdServiceHostTest, StoreReadsTodaysFilesAndKeepsTheOldOneWhenASaveFails) {
  WriteFile(Store(), "[Other]\r\nRunAsService=7\r\n[ parameters ]\r\n runasservice = 1 \r\n");
  SystemdServiceHost host(exe_, nullptr);
  EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "0"), "1");
  EXPECT_THROW(host.SaveSetting("Parameters", "RunAsService", "1\n[Parameters]"), RelayError);
  EXPECT_THROW(host.SaveSetting("Parameters", "RunAsService", " 1"), RelayError);
  host.SaveSetting("Parameters", "RunAsService", "0");
  EXPECT_EQ(ReadFile(Store()), "[Parameters]\nRunAsService=0\n");

  // A disk that fills up half-way through the new file: a child limited to 8 bytes per file.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{8, 8};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      host.SaveSetting("Parameters", "RunAsService", "1");
    } catch (const RelayError&) {
      _exit(0);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save did not throw";
  EXPECT_EQ(ReadFile(Store()), "[Parameters]\nRunAsService=0\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(Store()).parent_path()), {}), 1)
      << "the temporary file was left behind";
}

TEST_F(SystemdServiceHostTest, StartReportsReadinessBeforeTakingOverTheStop) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = root_ + "/notify";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  std::string seen;
  SystemdServiceHost host(exe_, [&] {
    char buffer[64];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    seen = n > 0 ? std::string(buffer, n) : "nothing";
  });
  host.Start();
  EXPECT_EQ(seen, "READY=1");
  close(fd);
}

}  // namespace
}  // namespace cw
