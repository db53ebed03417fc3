#include "app/corbelwynford_main.h"

#include "base/ascii.h"
#include "base/errors.h"
#include "relay/pause.h"
#include "relay/scan_cycle.h"
#include "settings/numeric.h"

namespace cw {
namespace {

constexpr int32_t kAcceptStopAndShutdown = 5;  // stop (1) and shutdown (4); no pause, continue
constexpr int16_t kEventTypeInformation = 4;
constexpr int32_t kEventIdStarted = 110;

// The persisted flag is "0" or "1"; any other text counts by its number, and a text whose number
// does not fit counts as application mode.
bool IsServiceFlag(const std::string& text) {
  try {
    return NumericValue(text) != 0;
  } catch (const OverflowError&) {
    return false;
  }
}

}  // namespace

const char kUsageText[] =
    "Usage: corbelwynford [--help | --version | --feed [...] | switch]\n"
    "Relays each line of the incoming-message file as an HTTP POST, as set in\n"
    "Corbelwynford.INI next to the executable. Without a switch it runs and shows\n"
    "its live log window.\n"
    "  --help       this text (only as the whole command line)\n"
    "  --version    the version (only as the whole command line)\n"
    "  --feed       appends one message to the incoming file: from standard input,\n"
    "               from Gammu's RunOnReceive or from smstools' eventhandler\n"
    "The service is registered and removed with the program's own switches, described in the\n"
    "README.\n";

EntryAction ActionFor(const std::string& argument_text) {
  if (argument_text == "--help") return EntryAction::kShowHelp;
  if (argument_text == "--version") return EntryAction::kShowVersion;
  if (argument_text == "--feed" || argument_text.starts_with("--feed ")) return EntryAction::kFeed;
  return EntryAction::kRun;
}

std::string RunTimeErrorText(const std::string& what) { return "Run-time error: " + what; }

void Corbelwynford_Main::LogRunTimeError(const std::string& what) noexcept {
  try {
    procs_.WriteLog(RunTimeErrorText(what));
  } catch (...) {
    // The log is gone too; standard error still gets the reason.
  }
}

bool HasSwitch(const std::string& command_line, const std::string& upper_switch) {
  return FindIgnoringCase(command_line, upper_switch) != std::string::npos;
}

void Corbelwynford_Main::Form_Load() {
  ServiceHost& service = platform_.service;
  Process& process = platform_.process;

  const char separator = platform_.files.PathSeparator();
  std::string app_path = process.ExecutableDirectory();
  if (app_path.empty() || app_path.back() != separator) app_path += separator;
  procs_.AppPath = app_path;

  procs_.RunAsService = IsServiceFlag(service.ReadSetting("Parameters", "RunAsService", "0"));

  const std::string command_line = process.CommandLine();
  // A set-up program runs the switches with nobody there to close a box: "/Q" leaves the answer
  // to the log and the exit status alone.
  quiet_ = HasSwitch(command_line, "/Q");

  if (process.AnotherInstanceRunning()) {
    if (!procs_.RunAsService && !quiet_) {
      platform_.window.ShowMessageBox("Corbelwynford is already started!",
                                      MessageBoxStyle::kCritical);
    }
    process.Exit(1);
  }

  procs_.WriteLog(std::string(100, '-'));
  procs_.WriteLog(std::string("Corbelwynford - version ") + kVersionText + " is starting...");

  if (HasSwitch(command_line, "/U")) {
    EndServiceSwitch(
        service.Uninstall(), "0",
        {"Corbelwynford service uninstalled successfully", " service uninstalled successfully"},
        {"Corbelwynford service failed to uninstall", " failed to uninstall as service"});
  }
  if (HasSwitch(command_line, "/I")) {
    service.SetInteractive(false);
    service.SetControlsAccepted(kAcceptStopAndShutdown);
    EndServiceSwitch(
        service.Install(), "1",
        {"Corbelwynford service was successfully installed", " service installation succeeded"},
        {"Corbelwynford service failed to install", " failed to install as service"});
  }

  platform_.window.SetCaption(platform_.window.Caption() + " - version " + kVersionText);

  if (procs_.RunAsService) {
    service.SetControlsAccepted(kAcceptStopAndShutdown);
    service.Start();
    service.LogEvent(kEventTypeInformation, kEventIdStarted, "Corbelwynford started");
    procs_.WriteLog("Corbelwynford started ok as service");
    platform_.window.Hide();
  } else {
    procs_.WriteLog("Corbelwynford started ok as application");
  }
  procs_.TransferState = 0;
}

void Corbelwynford_Main::EndServiceSwitch(bool succeeded, const char* mode_flag,
                                          const SwitchOutcome& success,
                                          const SwitchOutcome& failure) {
  ServiceHost& service = platform_.service;
  // The mode flag changes only when the host did what was asked; a failure keeps the old mode.
  if (succeeded) service.SaveSetting("Parameters", "RunAsService", mode_flag);
  const SwitchOutcome& outcome = succeeded ? success : failure;
  procs_.WriteLog(outcome.log_line);
  if (!quiet_) {
    platform_.window.ShowMessageBox(service.DisplayName() + outcome.box_suffix,
                                    MessageBoxStyle::kOkOnly);
  }
  platform_.process.Exit(succeeded ? 0 : 1);
}

void Corbelwynford_Main::Form_Resize() noexcept {
  MainWindow& window = platform_.window;
  try {
    window.List().SetWidth(window.ClientWidth());
  } catch (...) {
  }
  try {
    window.List().SetHeight(window.ClientHeight() - window.StatusBarHeight());
  } catch (...) {
  }
}

void Corbelwynford_Main::Form_QueryUnload(int16_t& /*cancel*/, int16_t unload_mode) {
  procs_.WriteLog("Corbelwynford is shutting down, reason: " + std::to_string(unload_mode));
}

void Corbelwynford_Main::Form_Unload(int16_t& /*cancel*/) {
  procs_.WriteLog("Corbelwynford was shutdown");
  platform_.loop.SetTimerEnabled(TimerId::kFileScan, false);
  platform_.loop.SetTimerEnabled(TimerId::kSystem, false);
  platform_.process.Exit(0);
}

void Corbelwynford_Main::Close(int16_t reason) {
  int16_t cancel = 0;
  Form_QueryUnload(cancel, reason);
  Form_Unload(cancel);
}

void Corbelwynford_Main::Timer_FileScan_Timer() { RunScanCycle(procs_); }

void Corbelwynford_Main::Timer_System_Timer() {
  SystemTimerTick(platform_.loop, procs_.PauseTicks);
}

void Corbelwynford_Main::Inet_StateChanged(int16_t state) {
  if (state == TransferControl::kStateError || state == TransferControl::kStateResponseCompleted)
    procs_.TransferState = state;
}

void Corbelwynford_Main::NTService_Start(bool& success) { success = true; }
void Corbelwynford_Main::NTService_Pause(bool& success) { success = true; }
void Corbelwynford_Main::NTService_Continue(bool& success) { success = true; }
void Corbelwynford_Main::NTService_Stop() { Close(1); }

void Corbelwynford_Main::OnTimer(TimerId timer) {
  if (timer == TimerId::kFileScan) {
    Timer_FileScan_Timer();
  } else {
    Timer_System_Timer();
  }
}

}  // namespace cw
