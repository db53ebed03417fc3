#include "relay/corbelwynford_procs.h"

#include "log/activity_log.h"
#include "log/traffic_log.h"
#include "relay/await_transfer.h"
#include "relay/pause.h"
#include "settings/settings_file.h"

namespace cw {

void Corbelwynford_Procs::WriteLog(std::string_view text) noexcept {
  cw::WriteLog(platform.window.List(), platform.clock, text);
}

void Corbelwynford_Procs::WriteTrafficLog(int16_t is_tx, std::string_view text) {
  cw::WriteTrafficLog(platform.window.List(), platform.clock, is_tx, text);
}

std::string Corbelwynford_Procs::GetIniString(const std::string& section, const std::string& key,
                                              const std::string& default_text) {
  return SettingsFile(platform.profile, AppPath).GetIniString(section, key, default_text);
}

void Corbelwynford_Procs::PauseSeconds(float seconds) {
  cw::PauseSeconds(platform.loop, PauseTicks, seconds);
}

std::string Corbelwynford_Procs::AwaitTransfer(int16_t seconds, bool cancel_first) {
  return cw::AwaitTransfer(
      platform.inet, TransferState, [this] { PauseSeconds(1); }, seconds, cancel_first);
}

}  // namespace cw
