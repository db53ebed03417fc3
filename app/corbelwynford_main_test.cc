// Start-up rules on fakes. The service switches run against the real systemd host
// (platform/posix/systemd_service_host_test.cc); close reasons and the program entry run on the
// real binary.
#include "app/corbelwynford_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using testing::FakePlatform;
using testing::ProcessExit;

// The entries without date and time.
std::vector<std::string> Log(const FakePlatform& fake) {
  std::vector<std::string> out;
  const size_t prefix = fake.clock.date.size() + fake.clock.time.size() + 2;
  for (const std::string& e : fake.window.list.entries) out.push_back(e.substr(prefix));
  return out;
}

TEST(StartUpTest, ModeComesFromTheStoredFlagsNumberAndASecondInstanceEndsFirst) {
  struct Row {
    const char* directory;
    const char* stored;  // nullptr: nothing stored
    bool another_instance;
    const char* app_path;
    bool service;
  };
  const Row rows[] = {
      {"/opt/cw", nullptr, false, "/opt/cw/", false},
      {"/", "0", false, "/", false},
      {"/opt/cw", "1", false, "/opt/cw/", true},
      {"/opt/cw", "2", false, "/opt/cw/", true},
      {"/opt/cw", "x", false, "/opt/cw/", false},
      {"/opt/cw", "1E999", false, "/opt/cw/", false},
      {"/opt/cw", "0", true, "/opt/cw/", false},
      {"/opt/cw", "1", true, "/opt/cw/", true},
  };
  const std::string version = std::string("Corbelwynford - version ") + kVersionText;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.directory) + " " + (row.stored ? row.stored : "none") +
                 (row.another_instance ? " second" : ""));
    FakePlatform fake;
    fake.process.directory = row.directory;
    if (row.stored != nullptr) fake.service.store["Parameters/RunAsService"] = row.stored;
    fake.process.another_instance = row.another_instance;
    fake.process.command_line = "whatever";
    Corbelwynford_Main form(fake.platform);
    if (row.another_instance) {
      // Ends before logging anything, with a box only where someone can see it.
      fake.process.command_line = "/I";
      EXPECT_THROW(form.Form_Load(), ProcessExit);
      EXPECT_TRUE(Log(fake).empty());
      EXPECT_EQ(fake.service.registrations, 0);
      EXPECT_EQ(fake.window.boxes.size(), row.service ? 0u : 1u);
      continue;
    }
    form.Form_Load();
    EXPECT_EQ(form.Procs().AppPath, row.app_path);
    EXPECT_EQ(Log(fake),
              (std::vector<std::string>{std::string(100, '-'), version + " is starting...",
                                        row.service ? "Corbelwynford started ok as service"
                                                    : "Corbelwynford started ok as application"}));
    EXPECT_EQ(fake.window.caption, version);
    EXPECT_EQ(fake.window.hidden, row.service);
    EXPECT_EQ(fake.service.starts, row.service ? 1 : 0);
    EXPECT_EQ(fake.service.events, row.service
                                       ? std::vector<std::string>{"4 110 Corbelwynford started"}
                                       : std::vector<std::string>{});
  }
}

TEST(CommandLineTest, SwitchesAnywhereAndHelpOrVersionOnlyAsTheWholeLine) {
  struct Row {
    const char* text;
    bool remove;
    bool install;
    EntryAction action;
  };
  const Row rows[] = {
      {"/u", true, false, EntryAction::kRun},
      {"c:/data/in", false, true, EntryAction::kRun},
      {"-i \\I", false, false, EntryAction::kRun},
      {"--help", false, false, EntryAction::kShowHelp},
      {"--version", false, false, EntryAction::kShowVersion},
      {"/U --version", true, false, EntryAction::kRun},
      {"--help /I", false, true, EntryAction::kRun},
      {"--version --help", false, false, EntryAction::kRun},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(HasSwitch(row.text, "/U"), row.remove) << row.text;
    EXPECT_EQ(HasSwitch(row.text, "/I"), row.install) << row.text;
    EXPECT_EQ(ActionFor(row.text), row.action) << row.text;
  }
}

TEST(StartUpTest, QuietSwitchLeavesTheAnswerToTheLogAndTheExitStatus) {
  struct Row {
    const char* command_line;
    bool another_instance;
    int status;
    size_t boxes;
    const char* last_entry;  // nullptr: nothing logged
  };
  const Row rows[] = {
      {"/I /Q", false, 0, 0, "Corbelwynford service was successfully installed"},
      {"/u/q", false, 0, 0, "Corbelwynford service uninstalled successfully"},
      {"/I", false, 0, 1, "Corbelwynford service was successfully installed"},
      {"/I /Q", true, 1, 0, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.command_line) + (row.another_instance ? " second" : ""));
    FakePlatform fake;
    fake.process.command_line = row.command_line;
    fake.process.another_instance = row.another_instance;
    Corbelwynford_Main form(fake.platform);
    int status = -1;
    try {
      form.Form_Load();
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(fake.window.boxes.size(), row.boxes);
    const std::vector<std::string> log = Log(fake);
    if (row.last_entry == nullptr) {
      EXPECT_TRUE(log.empty());
    } else {
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), row.last_entry);
    }
  }
}

TEST(ResizeTest, ListFillsTheWindowAboveTheStatusBarAndKeepsARefusedHeight) {
  FakePlatform fake;
  Corbelwynford_Main form(fake.platform);
  fake.window.client_width = 120;
  fake.window.client_height = 40;
  form.Form_Resize();
  EXPECT_EQ(fake.window.list.width, 120);
  EXPECT_EQ(fake.window.list.height, 39);
  fake.window.client_width = 30;
  fake.window.client_height = 0;  // lower than the status bar
  form.Form_Resize();
  EXPECT_EQ(fake.window.list.width, 30);
  EXPECT_EQ(fake.window.list.height, 39);
}

}  // namespace
}  // namespace cw
