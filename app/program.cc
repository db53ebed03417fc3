#include "app/program.h"

#include "app/command_line.h"
#include "base/errors.h"
#include "settings/numeric.h"

namespace cw {
namespace {

constexpr int32_t kAcceptStopAndShutdown = 5;  // stop (1) and shutdown (4); no pause, continue
constexpr int16_t kEventTypeInformation = 4;
constexpr int32_t kEventIdStarted = 110;

// The stored flag is "0" or "1"; any other text counts by its number, and a text whose number
// does not fit counts as application mode.
bool IsServiceFlag(const std::string& text) {
  try {
    return NumericValue(text) != 0;
  } catch (const OverflowError&) {
    return false;
  }
}

}  // namespace

void Program::Start() {
  ServiceHost& service = platform_.service;
  Process& process = platform_.process;

  relay_.emplace(platform_, log_, ProgramFolder(process, platform_.files.PathSeparator()));

  service_mode_ = IsServiceFlag(service.ReadSetting("Parameters", "RunAsService", "0"));

  const std::string arguments = process.CommandLine();
  // A set-up program runs the switches with nobody there to close a box: "/Q" leaves the answer
  // to the log and the exit status alone.
  quiet_ = HasSwitch(arguments, "/Q");

  if (process.AnotherInstanceRunning()) {
    if (!service_mode_ && !quiet_) {
      platform_.window.ShowMessageBox("Corbelwynford is already started!",
                                      MessageBoxStyle::kCritical);
    }
    process.Exit(1);
  }

  log_.WriteLog(std::string(100, '-'));
  log_.WriteLog(std::string("Corbelwynford - version ") + kVersionText + " is starting...");

  if (HasSwitch(arguments, "/U")) {
    EndServiceSwitch(
        service.Uninstall(), "0",
        {"Corbelwynford service uninstalled successfully", " service uninstalled successfully"},
        {"Corbelwynford service failed to uninstall", " failed to uninstall as service"});
  }
  if (HasSwitch(arguments, "/I")) {
    service.SetInteractive(false);
    service.SetControlsAccepted(kAcceptStopAndShutdown);
    EndServiceSwitch(
        service.Install(), "1",
        {"Corbelwynford service was successfully installed", " service installation succeeded"},
        {"Corbelwynford service failed to install", " failed to install as service"});
  }

  platform_.window.SetCaption(platform_.window.Caption() + " - version " + kVersionText);

  if (service_mode_) {
    service.SetControlsAccepted(kAcceptStopAndShutdown);
    service.Start();
    service.LogEvent(kEventTypeInformation, kEventIdStarted, "Corbelwynford started");
    log_.WriteLog("Corbelwynford started ok as service");
    platform_.window.Hide();
  } else {
    log_.WriteLog("Corbelwynford started ok as application");
  }
}

void Program::EndServiceSwitch(bool succeeded, const char* mode_flag, const SwitchOutcome& success,
                               const SwitchOutcome& failure) {
  ServiceHost& service = platform_.service;
  // The mode flag changes only when the host did what was asked; a failure keeps the old mode.
  if (succeeded) service.SaveSetting("Parameters", "RunAsService", mode_flag);
  const SwitchOutcome& outcome = succeeded ? success : failure;
  log_.WriteLog(outcome.log_line);
  if (!quiet_) {
    platform_.window.ShowMessageBox(service.DisplayName() + outcome.box_suffix,
                                    MessageBoxStyle::kOkOnly);
  }
  platform_.process.Exit(succeeded ? 0 : 1);
}

void Program::LogRunTimeError(const std::string& what) noexcept {
  log_.WriteLog(RunTimeErrorText(what));
}

void Program::OnTimer(TimerId timer) {
  if (!relay_) return;
  if (timer == TimerId::kFileScan) {
    relay_->ScanTick();
    if (relay_->Stopped()) EndProcess();
  } else {
    relay_->SystemTick();
  }
}

void Program::OnResize() noexcept {
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

void Program::OnCloseRequest(int16_t reason) {
  log_.WriteLog("Corbelwynford is shutting down, reason: " + std::to_string(reason));
  EndProcess();
}

void Program::OnStopRequest(int16_t reason) {
  if (stopping_) return EndProcess();
  if (!relay_ || !relay_->StopAfterMessageInFlight()) return OnCloseRequest(reason);
  // The scan cycle ends once the message's outcome is recorded, and its timer's handler then
  // ends the process.
  stopping_ = true;
  log_.WriteLog("Corbelwynford is shutting down, reason: " + std::to_string(reason));
}

void Program::EndProcess() {
  log_.WriteLog("Corbelwynford was shutdown");
  platform_.loop.SetTimerEnabled(TimerId::kFileScan, false);
  platform_.loop.SetTimerEnabled(TimerId::kSystem, false);
  platform_.process.Exit(0);
}

}  // namespace cw
