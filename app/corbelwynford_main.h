#pragma once
// The main window unit: one handler per event of the window and its controls. The window, its
// list, its two timers, the transfer control and the service host belong to the platform; this
// unit reacts to their events.
#include <cstdint>
#include <string>

#include "cw_version.h"
#include "platform/platform.h"
#include "relay/corbelwynford_procs.h"

namespace cw {

inline constexpr char kVersionText[] = CW_VERSION_TEXT;

// What a program entry does with its argument text: "--help" and "--version" act only when they
// are the whole of it; "--feed" as the first argument makes the rest of the line the feed's own,
// where no service switch applies; any other text runs the program, where the switches apply.
enum class EntryAction { kRun, kShowHelp, kShowVersion, kFeed };
EntryAction ActionFor(const std::string& argument_text);
// What "--help" shows.
extern const char kUsageText[];
// How an error that no handler caught is reported, in the log and on standard error.
std::string RunTimeErrorText(const std::string& what);

class Corbelwynford_Main final : public WindowEvents {
 public:
  explicit Corbelwynford_Main(Platform& platform) : platform_(platform), procs_(platform) {}

  // Start-up: fixes AppPath and the mode, applies the one-instance rule, writes the first log
  // lines, carries out "/U" and "/I" (each ends the process), and enters service or application
  // mode. With "/Q" anywhere in the arguments it shows no box: the log and the exit status
  // carry the answer. Nothing here is guarded: a failure ends the program.
  void Form_Load();
  // Fits the list to the window above the status bar; a size the list refuses is skipped.
  void Form_Resize() noexcept;
  // A close request is never refused: it logs its reason and the unload follows.
  void Form_QueryUnload(int16_t& cancel, int16_t unload_mode);
  // Logs the shutdown, stops both timers and ends the process at once.
  void Form_Unload(int16_t& cancel);
  void Timer_FileScan_Timer();
  void Timer_System_Timer();
  void Inet_StateChanged(int16_t state);
  void NTService_Start(bool& success);
  void NTService_Pause(bool& success);
  void NTService_Continue(bool& success);
  // The service manager's stop: closes the window from the program's own code (reason 1).
  void NTService_Stop();

  // WindowEvents: how the platform's events reach the handlers.
  void OnTimer(TimerId timer) override;
  void OnResize() override { Form_Resize(); }
  void OnCloseRequest(int16_t reason) override { Close(reason); }
  void OnTransferStateChanged(int16_t state) override { Inet_StateChanged(state); }
  void OnServiceStart(bool& success) override { NTService_Start(success); }
  void OnServicePause(bool& success) override { NTService_Pause(success); }
  void OnServiceContinue(bool& success) override { NTService_Continue(success); }
  void OnServiceStop() override { NTService_Stop(); }

  // Logs an error that no handler caught; the entry then ends the process. Never throws.
  void LogRunTimeError(const std::string& what) noexcept;

  Corbelwynford_Procs& Procs() { return procs_; }

 private:
  void Close(int16_t reason);
  // What "/U" or "/I" logs and shows for one outcome: the log line, and the text that follows
  // the host's display name in the message box.
  struct SwitchOutcome {
    const char* log_line;
    const char* box_suffix;
  };
  // Stores mode_flag when the host succeeded, logs and (unless quiet) shows the outcome, and
  // ends the process (status 0 on success, 1 on failure).
  void EndServiceSwitch(bool succeeded, const char* mode_flag, const SwitchOutcome& success,
                        const SwitchOutcome& failure);

  Platform& platform_;
  Corbelwynford_Procs procs_;
  bool quiet_ = false;  // "/Q": no message box at start-up
};

// The switch found anywhere in the upper-cased argument text ("/U", "/I" or "/Q").
bool HasSwitch(const std::string& command_line, const std::string& upper_switch);

}  // namespace cw
