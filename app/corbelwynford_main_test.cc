// Start-up rules on fakes. The service switches run against the real systemd host
// (platform/posix/systemd_service_host_test.cc); close reasons and the program entry run on the
// real binary.
#include "app/corbelwynford_main.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using testing::FakePlatform;
using testing::ProcessExit;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(StartUpTest, ModeComesFromTheStoredFlagsNumberAndASecondInstanceEndsFirst) {
  struct Row {
    const char* directory;
    const char* stored;  // nullptr: nothing stored
    const char* command_line;
    bool another_instance;
    bool service;
    size_t boxes;
  };
  const Row rows[] = {
      {"/opt/cw", nullptr, "x", false, false, 0},
      {"/", "0", "x", false, false, 0},
      {"/opt/cw", "1", "x", false, true, 0},
      {"/opt/cw", "2", "x", false, true, 0},
      {"/opt/cw", "x", "x", false, false, 0},
      {"/opt/cw", "1E999", "x", false, false, 0},
      // A second instance ends before logging anything, with a box only where someone sees it.
      {"/opt/cw", "0", "/I", true, false, 1},
      {"/opt/cw", "0", "/I /Q", true, false, 0},
      {"/opt/cw", "1", "/I", true, true, 0},
  };
  const std::string version = std::string("Corbelwynford - version ") + kVersionText;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.directory) + " " + (row.stored ? row.stored : "none") + " " +
                 row.command_line + (row.another_instance ? " second" : ""));
    FakePlatform fake;
    fake.process.directory = row.directory;
    if (row.stored != nullptr) fake.service.store["Parameters/RunAsService"] = row.stored;
    fake.process.another_instance = row.another_instance;
    fake.process.command_line = row.command_line;
    Corbelwynford_Main form(fake.platform);
    if (row.another_instance) {
      EXPECT_THROW(form.Form_Load(), ProcessExit);
      EXPECT_EQ(fake.Log(), Lines{});
      EXPECT_EQ(fake.service.registrations, 0);
      EXPECT_EQ(fake.window.boxes.size(), row.boxes);
      continue;
    }
    form.Form_Load();
    EXPECT_EQ(form.Procs().AppPath, row.directory == std::string("/") ? "/" : row.directory + "/"s);
    EXPECT_EQ(fake.Log(), (Lines{std::string(100, '-'), version + " is starting...",
                                 row.service ? "Corbelwynford started ok as service"
                                             : "Corbelwynford started ok as application"}));
    EXPECT_EQ(fake.window.caption, version);
    EXPECT_EQ(fake.window.hidden, row.service);
    EXPECT_EQ(fake.service.starts, row.service ? 1 : 0);
    EXPECT_EQ(fake.service.events, row.service ? Lines{"4 110 Corbelwynford started"} : Lines{});
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
      {"--help /I", false, true, EntryAction::kRun},
      {"--version --help", false, false, EntryAction::kRun},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(HasSwitch(row.text, "/U"), row.remove) << row.text;
    EXPECT_EQ(HasSwitch(row.text, "/I"), row.install) << row.text;
    EXPECT_EQ(ActionFor(row.text), row.action) << row.text;
  }
}

TEST(ResizeTest, ListFillsTheWindowAboveTheStatusBarAndKeepsARefusedHeight) {
  FakePlatform fake;
  Corbelwynford_Main form(fake.platform);
  for (const auto& [width, height, list_height] : {std::tuple{120, 40, 39}, {30, 0, 39}}) {
    fake.window.client_width = width;
    fake.window.client_height = height;  // 0: lower than the status bar
    form.Form_Resize();
    EXPECT_EQ(fake.window.list.Width(), width);
    EXPECT_EQ(fake.window.list.Height(), list_height);
  }
}

}  // namespace
}  // namespace cw
