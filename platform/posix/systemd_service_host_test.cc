// The service switches through the program's own start-up on the real systemd host: its store
// and its unit, with the real systemctl working offline (--root) on a folder of the test's own.
#include "platform/posix/systemd_service_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/command_line.h"
#include "app/program.h"
#include "platform/posix/test_folder.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

namespace fs = std::filesystem;

using testing::ReadFile;

// Each switch through the program's start-up: its exit status, its answer (a box, or with "/Q" the
// last log entry), the unit, and the mode flag, stored only when the switch succeeded. Then the
// unit "/I" writes: it names this very file, systemd accepts it (verify exits 0 despite errors, so
// its complaints are read) and rates it at most 3.0, "OK", in its own offline security review.
TEST(SystemdServiceHost, SwitchesInstallAndRemoveASandboxedUnitAndStoreTheModeOnlyOnSuccess) {
  const testing::TestFolder folder;
  const std::string root = folder.path, unit = root + "/etc/systemd/system/corbelwynford.service";
  setenv("CORBELWYNFORD_ROOT", root.c_str(), 1);
  // Blanks, a specifier, a variable and a non-ASCII letter: all must reach ExecStart intact.
  const std::string exe = root + "/opt/odd dir %n;$HOME ü/corbelwynford";
  fs::create_directories(fs::path(exe).parent_path());
  std::ofstream(exe) << "#!/bin/sh\n";
  fs::permissions(exe, fs::perms(0755));

  const char* kInstalled = "Corbelwynford service installation succeeded";
  const char* kNotInstalled = "Corbelwynford failed to install as service";
  const char* kRemoved = "Corbelwynford service uninstalled successfully";
  const char* kNotRemoved = "Corbelwynford failed to uninstall as service";
  const struct {
    const char* command_line;
    bool installed_before, usable_executable;
    const char* systemctl;  // nullptr: the real one
    int status;
    bool installed_after;
    const char* answer;
  } rows[] = {
      {"/i", false, true, nullptr, 0, true, kInstalled},
      {"/I /Q", false, true, nullptr, 0, true, "Corbelwynford service was successfully installed"},
      {"/I", true, true, nullptr, 1, true, kNotInstalled},
      {"/I", false, true, "/bin/false", 1, false, kNotInstalled},
      {"/I", false, true, "/nonexistent", 1, false, kNotInstalled},
      {"/I", false, false, nullptr, 1, false, kNotInstalled},
      {"x/Uninstall", true, true, nullptr, 0, false, kRemoved},
      {"/u/q", true, true, nullptr, 0, false, kRemoved},
      {"/U", false, true, nullptr, 1, false, kNotRemoved},
      {"/U", true, true, "/bin/false", 1, true, kNotRemoved},
      {"/I /U", true, true, nullptr, 0, false, kRemoved},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.command_line) + (row.systemctl ? row.systemctl : ""));
    fs::remove_all(root + "/etc");
    fs::remove_all(root + "/var");
    ASSERT_TRUE(!row.installed_before || SystemdServiceHost(exe, "systemctl").Install());
    SystemdServiceHost host(row.usable_executable ? exe : root + "/a\"quote",
                            row.systemctl ? row.systemctl : "systemctl");
    // The opposite of what the switch stores, so that a stored flag shows.
    const bool removal = HasSwitch(row.command_line, "/U");
    host.SaveModeFlag(removal);
    testing::FakePlatform fake;
    fake.process.command_line = row.command_line;
    Platform platform{fake.window,  fake.loop,  fake.http,    host,      fake.files,
                      fake.profile, fake.clock, fake.process, fake.watch};
    int status = -1;
    try {
      Program(platform).Start();
    } catch (const testing::ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(fake.window.boxes.size(), HasSwitch(row.command_line, "/Q") ? 0u : 1u);
    EXPECT_EQ(fake.window.boxes.empty() ? fake.Log().back() : fake.window.boxes[0], row.answer);
    EXPECT_EQ(fs::exists(unit), row.installed_after);
    const std::string link = "/etc/systemd/system/multi-user.target.wants/corbelwynford.service";
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(root + link)), row.installed_after);
    EXPECT_EQ(ReadFile(root + "/var/lib/corbelwynford/service.ini"),
              std::string("[Parameters]\nRunAsService=") +
                  ((row.status == 0) != removal ? "1" : "0") + "\n");
  }

  ASSERT_TRUE(SystemdServiceHost(exe, "systemctl").Install());
  EXPECT_NE(
      ReadFile(unit).find("\nExecStart=\"" + root + "/opt/odd dir %%n;$HOME ü/corbelwynford\"\n"),
      std::string::npos)
      << ReadFile(unit);
  auto run = [&](const std::string& command) {  // what it writes, on success
    EXPECT_EQ(std::system((command + " >'" + root + "/out' 2>&1").c_str()), 0) << command;
    return ReadFile(root + "/out");
  };
  EXPECT_EQ(run("systemd-analyze verify '" + unit + "'").find("corbelwynford"), std::string::npos)
      << ReadFile(root + "/out");
  const std::string report =
      run("systemd-analyze security --offline=yes --no-pager '" + unit + "'");
  const std::string overall = "Overall exposure level for corbelwynford.service: ";
  const size_t at = report.find(overall);
  ASSERT_NE(at, std::string::npos) << report;
  EXPECT_LE(std::stod(report.substr(at + overall.size())), 3.0) << report;
}

// The status goes out after every message without waiting: a service manager that does not read
// its socket for a while (whose queue takes a few datagrams) never holds the relay up. The statuses
// are told in a child process, which must end within 10 s.
TEST(SystemdServiceHost, AStatusNeverWaitsForItsReader) {
  const testing::TestFolder folder;
  const std::string path = folder.path + "/notify";
  const int reader = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(reader, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  SystemdServiceHost host("/opt/cw/corbelwynford", "systemctl");
  host.Start();
  const pid_t child = fork();
  if (child == 0) {
    for (int i = 0; i < 100; ++i) host.SetStatus("status " + std::to_string(i));
    _exit(0);
  }
  int status = -1;
  for (int wait = 0; wait < 100 && waitpid(child, &status, WNOHANG) == 0; ++wait) usleep(100000);
  if (kill(child, SIGKILL) == 0) waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the statuses waited for the reader";
  char first[64] = {};
  EXPECT_GT(recv(reader, first, sizeof first - 1, MSG_DONTWAIT), 0);
  EXPECT_STREQ(first, "READY=1");
  close(reader);
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace cw
