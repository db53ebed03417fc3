#pragma once
// The program: its start-up, and what it does with each event of the window, the folder watch and
// the service manager. The window, its list, the event loop, the HTTP transfer and the service
// host belong to the platform; the relay, with its scan timer, belongs to the program, made once
// start-up knows the program's folder.
#include <cstdint>
#include <optional>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "relay/relay.h"

namespace cw {

class Program final : public WindowEvents {
 public:
  explicit Program(Platform& platform)
      : platform_(platform), log_(platform.window.LogList(), platform.clock) {}

  // Fixes the program's folder and the mode, applies the one-instance rule, writes the first log
  // lines, carries out "/U" and "/I" (each ends the process), and enters service or application
  // mode. With "/Q" anywhere in the arguments it shows no box: the log and the exit status carry
  // the answer. Nothing here is guarded: a failure ends the program.
  void Start();
  // Service mode, fixed by Start() from the service host's stored flag.
  bool ServiceMode() const { return service_mode_; }
  // Logs an error that no handler caught; the entry then ends the process. Never throws.
  void LogRunTimeError(const std::string& what) noexcept;

  // The watched file appeared: the relay's scan runs now, unless it is running already.
  void OnFileAppeared() {
    if (relay_) relay_->FileAppeared();
  }
  // A close is never refused: it logs its reason and the shutdown and ends the process at once.
  void OnCloseRequest(int16_t reason) override;
  // A stop (a service manager's, or SIGTERM from anyone) is a close that lets the message in
  // flight finish first: its answer is awaited within WaitForAnswer, its outcome logged and
  // recorded, and the next run goes on with the message after it. With none in flight, or at a
  // second stop, it ends at once.
  void OnStopRequest(int16_t reason);
  // The service manager's stop closes the window from the program's own code.
  void OnServiceStop() { OnStopRequest(kCloseByProgram); }

 private:
  // What "/U" or "/I" logs and shows in the message box for one outcome.
  struct SwitchOutcome {
    const char* log_line;
    const char* box_text;
  };
  // Carries out "/U" and "/I" when the command line holds one; each ends the process.
  void RunServiceSwitch(const std::string& arguments);
  // Stores the mode when the host succeeded, logs and (unless quiet) shows the outcome, and ends
  // the process (status 0 on success, 1 on failure).
  void EndServiceSwitch(bool succeeded, bool service_mode, const SwitchOutcome& success,
                        const SwitchOutcome& failure);
  // Starts the service (service mode) or the window (application mode).
  void EnterMode();
  // Logs the shutdown and ends the process.
  void EndProcess();

  Platform& platform_;
  Log log_;
  std::optional<Relay> relay_;
  bool service_mode_ = false;
  bool quiet_ = false;     // "/Q": no message box at start-up
  bool stopping_ = false;  // a stop waits for the message in flight
};

}  // namespace cw
