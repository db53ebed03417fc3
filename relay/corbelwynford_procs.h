#pragma once
// The shared procedures and the state that the window's handlers share, bound to the platform.
// Each procedure lives in its own folder (log/, settings/, relay/, convert/); this unit hands it
// the window, clock, timers, transfer control and settings file that it works on.
#include <cstdint>
#include <string>
#include <string_view>

#include "convert/conversions.h"
#include "platform/platform.h"

namespace cw {

class Corbelwynford_Procs {
 public:
  explicit Corbelwynford_Procs(Platform& platform) : platform(platform) {}

  void WriteLog(std::string_view text) noexcept;
  void WriteTrafficLog(int16_t is_tx, std::string_view text);
  std::string GetIniString(const std::string& section, const std::string& key,
                           const std::string& default_text);
  void PauseSeconds(float seconds);
  std::string AwaitTransfer(int16_t seconds, bool cancel_first);

  Platform& platform;
  // The program's folder, ending in its path separator; fixed at start-up.
  std::string AppPath;
  // Service mode, fixed at start-up from the service host's persisted flag.
  bool RunAsService = false;
  // The last terminal state the transfer control reported: 0 none since reset, 11 error,
  // 12 response completed.
  int16_t TransferState = 0;
  // System timer ticks still to come before the running pause ends; 0 when none runs.
  int32_t PauseTicks = 0;
  // The folder that could not be watched, once that has been logged; empty while all is well.
  std::string UnwatchableFolder;

 private:
  std::string settings_folder_, settings_path_;  // AppPath, and its settings file
};

}  // namespace cw
