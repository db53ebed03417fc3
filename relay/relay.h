#pragma once
// The relay: at every tick of its scan timer it looks for the incoming file, claims it, posts each
// of its lines and deletes it; with RetryAfter, it sends the failed-message file again on its own
// when nothing new waits. It owns what it keeps between ticks: the scan timer, the folder it could
// not watch, the files it leaves alone, the default scheme in force, the retry's delay, the counts
// the service's status line shows. The program's folder is fixed when it is made.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "log/log.h"
#include "platform/platform.h"
#include "relay/claim_progress.h"
#include "relay/left_alone.h"
#include "relay/line_reader.h"
#include "relay/relay_settings.h"
#include "relay/retry_delay.h"
#include "settings/settings_file.h"

namespace cw {

class Relay {
 public:
  // program_folder ends in its separator; platform and log stay the caller's.
  Relay(Platform& platform, Log& log, const std::string& program_folder)
      : platform_(platform),
        log_(log),
        program_folder_(program_folder),
        settings_(platform.profile, program_folder),
        executable_file_(platform.process.ExecutableFile()),
        left_alone_(log),
        scan_timer_(platform.loop.AddTimer(std::chrono::seconds(1), [this] { OnScanTimer(); })) {}

  // The scan timer's tick, one scan cycle: claim the incoming file, open it, then for each line
  // build the body, post it, wait, log the outcome, keep a failed line, record how far it got,
  // pause; then delete the claim file and re-arm the timer. Every step is guarded: a step that
  // fails is abandoned, what it would have stored keeps its value, and the next step runs.
  void ScanTick();
  // The watched file appeared: the scan runs now, unless it is running already.
  void FileAppeared() { scan_timer_->FireNow(); }

  // A stop that lets the message in flight finish: true when one is in flight, and then the
  // cycle ends as soon as its outcome is logged and recorded, and on_stopped runs; the claim file
  // and its record wait for the next run. False when none is, and nothing waits for the stop.
  bool StopAfterMessageInFlight(std::function<void()> on_stopped) {
    if (!in_flight_) return false;
    stop_ = Stop::kRequested;
    on_stopped_ = std::move(on_stopped);
    return true;
  }

 private:
  enum class Stop { kNone, kRequested, kReached };

  void OnScanTimer() {
    ScanTick();
    if (stop_ == Stop::kReached) on_stopped_();
  }

  // Claims the incoming file when one waits; true when it is now the claim file. One that cannot
  // be claimed is named once in the log and left alone.
  bool ClaimIncoming(const std::string& scan_file, const std::string& claim_file);
  // The claim file opened for reading, or nullptr when it cannot be (named once in the log).
  std::unique_ptr<ReadableFile> OpenClaimFile(const std::string& claim_file);
  void FollowScanFile(const std::string& scan_file, const std::string& watch_setting);
  std::string FailedFile(const std::string& name, const std::string& scan_file,
                         const std::string& claim_file);
  // When nothing new waits, the failed-message file goes out again once it has rested for the
  // delay; true when it has been claimed for that.
  bool ClaimForRetry(const std::string& scan_file, const std::string& claim_file);
  // The claim file from its first message not yet done to its end, then deleted; the scan timer
  // rests meanwhile.
  void WorkThroughClaim(const std::string& scan_file, const std::string& claim_file,
                        const RelaySettings& settings);
  // Opens the claim file and reads past the messages its record says are done; a record that does
  // not match it is dropped, and the file read from its first line. False when it does not open.
  bool OpenAtRecord(const std::string& claim_file, ClaimProgress& progress,
                    std::unique_ptr<ReadableFile>& file, std::optional<LineReader>& lines);
  void RemoveClaim(const std::string& claim_file, ClaimProgress& progress);
  // Tells the service manager, when it changed: what the relay does, the messages it delivered
  // and that failed since its start, what the failed-message file keeps and when that goes out
  // again. facts: the failed-message file's, when the caller has them.
  void TellStatus(const std::string& scan_file, const std::string& failed_file,
                  const std::optional<FileFacts>& facts, bool retry_on);
  void TellStatus(const std::string& scan_file, const RelaySettings& settings);
  std::string WhenSentAgain(const std::string& failed_file, const FileFacts& facts);
  uint64_t KeptMessages(const std::string& failed_file, const FileFacts& facts);
  // Returns the length of the longest line.
  size_t SendClaimFile(LineReader& lines, ClaimProgress& progress, const std::string& scan_file,
                       const std::string& claim_file, const RelaySettings& settings);
  // False when a stop came before the message was sent.
  bool SendMessage(std::string line, const RelaySettings& settings);
  void RecordProgress(ClaimProgress& progress);
  void LogOutcome(const HttpOutcome& outcome, const std::string& send_error,
                  const std::string& line, const RelaySettings& settings);
  void KeepFailed(const std::string& failed_file, const std::string& line);

  Platform& platform_;
  Log& log_;
  const std::string program_folder_;
  const SettingsFile settings_;
  const std::string executable_file_;
  std::string unwatchable_folder_;  // the folder that could not be watched, once that is logged
  LeftAlone left_alone_;            // the files named in the log as left alone
  // Messages since the start: delivered, and failed on their first send (a retry that fails again
  // counts nothing new).
  uint64_t delivered_ = 0, failed_ = 0;
  bool cycle_running_ = false;  // a claim file is being sent
  bool retry_round_ = false;    // ... and it holds what the failed-message file kept
  bool in_flight_ = false;      // a message is being sent and its outcome awaited
  Stop stop_ = Stop::kNone;
  std::function<void()> on_stopped_;
  // A Protocol that is refused leaves the last one accepted in force.
  DefaultScheme default_scheme_ = DefaultScheme::kHttp;
  RetryDelay retry_delay_;
  bool retry_without_failed_file_logged_ = false;
  // A failed-message file whose claim failed, as it was then: left alone until it changes.
  std::optional<std::pair<std::string, FileFacts>> unclaimable_;
  // The messages a failed-message file held when it was last counted, and that file.
  std::optional<std::pair<std::string, FileFacts>> counted_;
  // An incoming file stood there at this tick's claim: no retry starts before it goes.
  bool incoming_waits_ = false;
  // What the last idle tick resolved FailedFile to, and what that rested on: the setting, the
  // incoming file and whether one waited, the failed-message file's facts.
  std::optional<std::string> idle_failed_file_;
  std::tuple<std::string, std::string, bool, std::optional<FileFacts>> idle_failed_for_;
  uint64_t kept_ = 0;
  std::string status_;                       // the status line last told
  const std::unique_ptr<Timer> scan_timer_;  // every second until a file is worked through
};

}  // namespace cw
