#include "app/corbelwynford_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using testing::FakePlatform;
using testing::ProcessExit;

class MainTest : public ::testing::Test {
 protected:
  MainTest() { fake.loop.handlers = &form; }

  // Chunks of all entries, without date and time.
  std::vector<std::string> Log() {
    std::vector<std::string> out;
    const std::string prefix = fake.clock.date + " " + fake.clock.time + " ";
    for (const std::string& e : fake.window.list.entries) out.push_back(e.substr(prefix.size()));
    return out;
  }
  // Runs Form_Load; returns the exit status when it ended the process, -1 otherwise.
  int Load() {
    try {
      form.Form_Load();
    } catch (const ProcessExit& e) {
      return e.status;
    }
    return -1;
  }

  FakePlatform fake;
  Corbelwynford_Main form{fake.platform};
  const std::string separator = std::string(100, '-');
  const std::string starting = "Corbelwynford - version 1.0.02 is starting...";
};

TEST_F(MainTest, ApplicationStartLogsThreeLinesAndSetsTheCaption) {
  fake.process.directory = "/opt/corbelwynford";
  EXPECT_EQ(Load(), -1);
  EXPECT_EQ(Log(), (std::vector<std::string>{separator, starting,
                                             "Corbelwynford started ok as application"}));
  EXPECT_EQ(fake.window.caption, "Corbelwynford - version 1.0.02");
  EXPECT_FALSE(fake.window.hidden);
  EXPECT_EQ(form.Procs().AppPath, "/opt/corbelwynford/");
  EXPECT_EQ(fake.service.calls, std::vector<std::string>{"read Parameters/RunAsService"});
  EXPECT_EQ(fake.window.list.selected, 2);
}

TEST_F(MainTest, RootFolderGetsNoSecondSlash) {
  fake.process.directory = "/";
  Load();
  EXPECT_EQ(form.Procs().AppPath, "/");
}

TEST_F(MainTest, ServiceModeStartsTheHostLogsTheEventAndHides) {
  fake.service.store["Parameters/RunAsService"] = "1";
  fake.process.command_line = "whatever";
  EXPECT_EQ(Load(), -1);
  EXPECT_EQ(fake.service.calls,
            (std::vector<std::string>{"read Parameters/RunAsService", "controls 5", "start",
                                      "event 4 110 Corbelwynford started"}));
  EXPECT_EQ(Log().back(), "Corbelwynford started ok as service");
  EXPECT_TRUE(fake.window.hidden);
  EXPECT_EQ(fake.window.caption, "Corbelwynford - version 1.0.02");
}

TEST_F(MainTest, StoredFlagIsReadByItsNumber) {
  for (auto [stored, service] : std::vector<std::pair<std::string, bool>>{
           {"0", false}, {"1", true}, {"", false}, {"2", true}, {"x", false}, {"1E999", false}}) {
    FakePlatform other;
    Corbelwynford_Main main_form(other.platform);
    other.service.store["Parameters/RunAsService"] = stored;
    main_form.Form_Load();
    EXPECT_EQ(other.window.hidden, service) << stored;
  }
}

TEST_F(MainTest, SecondInstanceEndsBeforeLoggingWithABoxOnlyInApplicationMode) {
  fake.process.another_instance = true;
  fake.process.command_line = "/I";
  EXPECT_EQ(Load(), 1);
  EXPECT_TRUE(Log().empty());
  ASSERT_EQ(fake.window.boxes.size(), 1u);
  EXPECT_EQ(fake.window.boxes[0].first, "Corbelwynford is already started!");
  EXPECT_EQ(fake.window.boxes[0].second, MessageBoxStyle::kCritical);
  EXPECT_EQ(fake.service.calls.size(), 1u);  // nothing installed

  FakePlatform service_mode;
  Corbelwynford_Main second(service_mode.platform);
  service_mode.service.store["Parameters/RunAsService"] = "1";
  service_mode.process.another_instance = true;
  EXPECT_THROW(second.Form_Load(), ProcessExit);
  EXPECT_TRUE(service_mode.window.boxes.empty());
  EXPECT_TRUE(service_mode.window.list.entries.empty());
}

TEST(SwitchTest, FoundAnywhereInEitherCase) {
  EXPECT_TRUE(HasSwitch("/u", "/U"));
  EXPECT_TRUE(HasSwitch("x /Install", "/I"));
  EXPECT_TRUE(HasSwitch("c:/data/in", "/I"));
  EXPECT_TRUE(HasSwitch("--/uX", "/U"));
  EXPECT_FALSE(HasSwitch("-i \\I", "/I"));
  EXPECT_FALSE(HasSwitch("", "/U"));
}

TEST_F(MainTest, InstallSetsTheHostUpSavesTheFlagAndEnds) {
  fake.process.command_line = "/i";
  EXPECT_EQ(Load(), 0);
  EXPECT_EQ(fake.service.calls,
            (std::vector<std::string>{"read Parameters/RunAsService", "interactive 0", "controls 5",
                                      "install interactive=0 controls=5",
                                      "save Parameters/RunAsService=1"}));
  EXPECT_EQ(Log(), (std::vector<std::string>{separator, starting,
                                             "Corbelwynford service was successfully installed"}));
  ASSERT_EQ(fake.window.boxes.size(), 1u);
  EXPECT_EQ(fake.window.boxes[0].first, "Corbelwynford service installation succeeded");
  EXPECT_EQ(fake.window.boxes[0].second, MessageBoxStyle::kOkOnly);
  EXPECT_EQ(fake.window.caption, "Corbelwynford");  // ended before the caption
}

TEST_F(MainTest, FailedInstallKeepsTheFlagAndExitsNonZero) {
  fake.process.command_line = "/I";
  fake.service.install_result = false;
  fake.service.store["Parameters/RunAsService"] = "0";
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(fake.service.store["Parameters/RunAsService"], "0");
  EXPECT_EQ(Log().back(), "Corbelwynford service failed to install");
  EXPECT_EQ(fake.window.boxes.at(0).first, "Corbelwynford failed to install as service");
}

TEST_F(MainTest, BothSwitchesMeanRemovalOnly) {
  fake.process.command_line = "/I /U";
  fake.service.store["Parameters/RunAsService"] = "1";
  EXPECT_EQ(Load(), 0);
  EXPECT_EQ(fake.service.calls,
            (std::vector<std::string>{"read Parameters/RunAsService", "uninstall",
                                      "save Parameters/RunAsService=0"}));
  EXPECT_EQ(Log().back(), "Corbelwynford service uninstalled successfully");
  EXPECT_EQ(fake.window.boxes.at(0).first, "Corbelwynford service uninstalled successfully");
}

TEST_F(MainTest, FailedUninstallKeepsServiceMode) {
  fake.process.command_line = "/U";
  fake.service.uninstall_result = false;
  fake.service.store["Parameters/RunAsService"] = "1";
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(fake.service.store["Parameters/RunAsService"], "1");
  EXPECT_EQ(Log().back(), "Corbelwynford service failed to uninstall");
  EXPECT_EQ(fake.window.boxes.at(0).first, "Corbelwynford failed to uninstall as service");
}

TEST_F(MainTest, CloseLogsTheReasonAndTheShutdownThenEnds) {
  Load();
  for (int16_t reason : {0, 1, 2, 3}) {
    fake.window.list.entries.clear();
    fake.loop.SetTimerEnabled(TimerId::kFileScan, true);
    try {
      form.OnCloseRequest(reason);
      FAIL() << "the close must end the process";
    } catch (const ProcessExit& e) {
      EXPECT_EQ(e.status, 0);
    }
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Corbelwynford is shutting down, reason: " + std::to_string(reason),
                         "Corbelwynford was shutdown"}));
    EXPECT_FALSE(fake.loop.TimerEnabled(TimerId::kFileScan));
    EXPECT_FALSE(fake.loop.TimerEnabled(TimerId::kSystem));
  }
}

TEST_F(MainTest, ServiceStopClosesWithReasonOneAndOtherNotificationsSucceed) {
  Load();
  EXPECT_THROW(form.NTService_Stop(), ProcessExit);
  EXPECT_EQ(Log().at(Log().size() - 2), "Corbelwynford is shutting down, reason: 1");
  for (auto handler : {&Corbelwynford_Main::NTService_Start, &Corbelwynford_Main::NTService_Pause,
                       &Corbelwynford_Main::NTService_Continue}) {
    bool success = false;
    (form.*handler)(success);
    EXPECT_TRUE(success);
  }
}

TEST_F(MainTest, ResizeFitsTheListAboveTheStatusBarAndKeepsARefusedHeight) {
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
