// The service switches through the program's own start-up on the real systemd host: its store
// and its unit, with the real systemctl working offline (--root) on a folder of the test's own.
#include "platform/posix/systemd_service_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/command_line.h"
#include "app/program.h"
#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Each switch through the program's start-up: its exit status, its answer (a box, or with "/Q" the
// last log entry), the unit, and the mode flag, stored only when the switch succeeded. Then the
// unit "/I" writes: it names this very file, systemd accepts it (verify exits 0 despite errors, so
// its complaints are read) and rates it at most 3.0, "OK", in its own offline security review.
TEST(SystemdServiceHost, SwitchesInstallAndRemoveASandboxedUnitAndStoreTheModeOnlyOnSuccess) {
  char folder[] = "/tmp/cw_service_host_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string root = folder, unit = root + "/etc/systemd/system/corbelwynford.service";
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove_all(root); });
  setenv("CORBELWYNFORD_ROOT", folder, 1);
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
    ASSERT_TRUE(!row.installed_before || SystemdServiceHost(exe, "systemctl", nullptr).Install());
    SystemdServiceHost host(row.usable_executable ? exe : root + "/a\"quote",
                            row.systemctl ? row.systemctl : "systemctl", nullptr);
    // The opposite of what the switch stores, so that a stored flag shows.
    const bool removal = HasSwitch(row.command_line, "/U");
    host.SaveSetting("Parameters", "RunAsService", removal ? "1" : "0");
    testing::FakePlatform fake;
    fake.process.command_line = row.command_line;
    Platform platform{fake.window,  fake.loop,  fake.inet,    host,      fake.files,
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
    EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"),
              (row.status == 0) != removal ? "1" : "0");
  }

  ASSERT_TRUE(SystemdServiceHost(exe, "systemctl", nullptr).Install());
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

}  // namespace
}  // namespace cw
