#pragma once
// The relay: at every tick of the scan timer it looks for the incoming file, claims it, posts each
// of its lines and deletes it. It owns what it keeps between ticks: the folder it could not watch
// and the pause in progress. The program's folder is fixed when it is made.
#include <cstddef>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "relay/pause.h"
#include "relay/relay_settings.h"
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
        pause_(platform.loop) {}

  // The scan timer's tick, one scan cycle: claim the incoming file, open it, then for each line
  // build the body, post it, wait, log the outcome, keep a failed line, pause; then delete the
  // claim file and re-arm the timer. Every step is guarded: a step that fails is abandoned, what it
  // would have stored keeps its value, and the next step runs.
  void ScanTick();
  // The system timer's tick: counts the pause in progress down.
  void SystemTick() { pause_.Tick(); }

 private:
  void FollowScanFile(const std::string& scan_file, const std::string& watch_setting);
  std::string FailedFile(const std::string& name, const std::string& scan_file,
                         const std::string& claim_file) const;
  // Returns the length of the longest line.
  size_t SendClaimFile(ReadableFile& file, const std::string& claim_file,
                       const RelaySettings& settings);
  void SendMessage(std::string line, const RelaySettings& settings);
  void LogOutcome(const TransferOutcome& outcome, const std::string& send_error,
                  const std::string& line, const RelaySettings& settings);

  Platform& platform_;
  Log& log_;
  const std::string program_folder_;
  const SettingsFile settings_;
  TimedPause pause_;
  std::string unwatchable_folder_;  // the folder that could not be watched, once that is logged
};

}  // namespace cw
