// The service switches through the program's own start-up on the real systemd host: its store
// and its unit, with the real systemctl working offline (--root) on a folder of each test's own.
#include "platform/posix/systemd_service_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

class SystemdServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/cw_service_host_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    setenv("CORBELWYNFORD_ROOT", root_.c_str(), 1);
    // Blanks, a specifier, a variable and a non-ASCII letter: all must reach ExecStart intact.
    exe_ = root_ + "/opt/odd dir %n;$HOME ü/corbelwynford";
    fs::create_directories(fs::path(exe_).parent_path());
    std::ofstream(exe_) << "#!/bin/sh\n";
    fs::permissions(exe_, fs::perms(0755));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Unit() const { return root_ + "/etc/systemd/system/corbelwynford.service"; }

  std::string root_, exe_;
};

// Each switch through the program's start-up: its exit status, its answer (a box, or with "/Q" the
// last log entry), the unit, and the mode flag, stored only when the switch succeeded.
TEST_F(SystemdServiceHostTest, SwitchesInstallAndRemoveTheUnitAndStoreTheModeOnlyOnSuccess) {
  const char* kInstalled = "Corbelwynford service installation succeeded";
  const char* kNotInstalled = "Corbelwynford failed to install as service";
  const char* kRemoved = "Corbelwynford service uninstalled successfully";
  const char* kNotRemoved = "Corbelwynford failed to uninstall as service";
  struct Row {
    const char* command_line;
    bool installed_before, usable_executable;
    const char* systemctl;  // nullptr: the real one
    int status;
    bool installed_after;
    const char* answer;
  };
  const Row rows[] = {
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
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.command_line) + (row.systemctl ? row.systemctl : ""));
    fs::remove_all(root_ + "/etc");
    fs::remove_all(root_ + "/var");
    SystemdServiceHost host(row.usable_executable ? exe_ : root_ + "/a\"quote",
                            row.systemctl ? row.systemctl : "systemctl", nullptr);
    if (row.installed_before) {
      ASSERT_TRUE(SystemdServiceHost(exe_, "systemctl", nullptr).Install());
    }
    // The opposite of what the switch stores, so that a stored flag shows.
    const bool removal = HasSwitch(row.command_line, "/U");
    host.SaveSetting("Parameters", "RunAsService", removal ? "1" : "0");

    testing::FakePlatform fake;
    fake.process.command_line = row.command_line;
    Platform platform{fake.window,  fake.loop,  fake.inet,    host,      fake.files,
                      fake.profile, fake.clock, fake.process, fake.watch};
    Program program(platform);
    int status = -1;
    try {
      program.Start();
    } catch (const testing::ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, row.status);
    if (HasSwitch(row.command_line, "/Q")) {
      EXPECT_TRUE(fake.window.boxes.empty());
      EXPECT_EQ(fake.Log().back(), row.answer);
    } else {
      EXPECT_EQ(fake.window.boxes, std::vector<std::string>{row.answer});
    }
    EXPECT_EQ(fs::exists(Unit()), row.installed_after);
    const std::string link = "/etc/systemd/system/multi-user.target.wants/corbelwynford.service";
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(root_ + link)), row.installed_after);
    EXPECT_EQ(host.ReadSetting("Parameters", "RunAsService", "?"),
              (row.status == 0) != removal ? "1" : "0");
  }
  // What the first row installed, written again, names this very file.
  SystemdServiceHost host(exe_, "systemctl", nullptr);
  ASSERT_TRUE(host.Install());
  EXPECT_NE(ReadFile(Unit()).find("\nExecStart=\"" + root_ +
                                  "/opt/odd dir %%n;$HOME ü/corbelwynford\"\n"),
            std::string::npos)
      << ReadFile(Unit());
}

// The unit "/I" writes is one systemd accepts (verify exits 0 despite errors, so its complaints
// are read) and rates at most 3.0, "OK", in its own offline security review.
TEST_F(SystemdServiceHostTest, WrittenUnitIsValidAndSandboxed) {
  SystemdServiceHost host(exe_, "systemctl", nullptr);
  ASSERT_TRUE(host.Install());
  const std::string out = root_ + "/analyze.out";
  const std::string err = root_ + "/analyze.err";
  ASSERT_EQ(std::system(("systemd-analyze verify '" + Unit() + "' 2>'" + err + "'").c_str()), 0);
  EXPECT_EQ(ReadFile(err).find("corbelwynford"), std::string::npos) << ReadFile(err);
  ASSERT_EQ(std::system(("systemd-analyze security --offline=yes --no-pager '" + Unit() + "' >'" +
                         out + "' 2>'" + err + "'")
                            .c_str()),
            0)
      << ReadFile(err);
  const std::string report = ReadFile(out);
  const std::string overall = "Overall exposure level for corbelwynford.service: ";
  const size_t at = report.find(overall);
  ASSERT_NE(at, std::string::npos) << report;
  EXPECT_LE(std::stod(report.substr(at + overall.size())), 3.0) << report;
}

}  // namespace
}  // namespace cw
