#include "app/program.h"

#include "app/command_line.h"
#include "base/errors.h"
#include "settings/numeric.h"

namespace cw {
namespace {

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
  Process& process = platform_.process;

  service_mode_ = IsServiceFlag(platform_.service.ReadModeFlag());

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
  RunServiceSwitch(arguments);
  // Made after the switches, so that no tick of its timer comes while a box of theirs is open.
  relay_.emplace(platform_, log_, ProgramFolder(process, platform_.files.PathSeparator()));
  platform_.window.SetCaption(platform_.window.Caption() + " - version " + kVersionText);
  EnterMode();
}

void Program::RunServiceSwitch(const std::string& arguments) {
  ServiceHost& service = platform_.service;
  if (HasSwitch(arguments, "/U")) {
    EndServiceSwitch(service.Uninstall(), false,
                     {"Corbelwynford service uninstalled successfully",
                      "Corbelwynford service uninstalled successfully"},
                     {"Corbelwynford service failed to uninstall",
                      "Corbelwynford failed to uninstall as service"});
  }
  if (HasSwitch(arguments, "/I")) {
    EndServiceSwitch(
        service.Install(), true,
        {"Corbelwynford service was successfully installed",
         "Corbelwynford service installation succeeded"},
        {"Corbelwynford service failed to install", "Corbelwynford failed to install as service"});
  }
}

void Program::EndServiceSwitch(bool succeeded, bool service_mode, const SwitchOutcome& success,
                               const SwitchOutcome& failure) {
  // The mode flag changes only when the host did what was asked; a failure keeps the old mode.
  if (succeeded) platform_.service.SaveModeFlag(service_mode);
  const SwitchOutcome& outcome = succeeded ? success : failure;
  log_.WriteLog(outcome.log_line);
  if (!quiet_) platform_.window.ShowMessageBox(outcome.box_text, MessageBoxStyle::kOkOnly);
  platform_.process.Exit(succeeded ? 0 : 1);
}

void Program::EnterMode() {
  if (!service_mode_) {
    log_.WriteLog("Corbelwynford started ok as application");
    return;
  }
  platform_.service.Start();
  platform_.service.LogEvent(ServiceEvent::kStarted, "Corbelwynford started");
  log_.WriteLog("Corbelwynford started ok as service");
  platform_.window.Hide();
}

void Program::LogRunTimeError(const std::string& what) noexcept {
  log_.WriteLog(RunTimeErrorText(what));
}

void Program::OnCloseRequest(int16_t reason) {
  log_.WriteLog("Corbelwynford is shutting down, reason: " + std::to_string(reason));
  EndProcess();
}

void Program::OnStopRequest(int16_t reason) {
  if (stopping_) return EndProcess();
  // The scan cycle ends once the message's outcome is recorded, and then ends the process.
  if (!relay_ || !relay_->StopAfterMessageInFlight([this] { EndProcess(); })) {
    return OnCloseRequest(reason);
  }
  stopping_ = true;
  log_.WriteLog("Corbelwynford is shutting down, reason: " + std::to_string(reason));
}

void Program::EndProcess() {
  log_.WriteLog("Corbelwynford was shutdown");
  platform_.process.Exit(0);
}

}  // namespace cw
