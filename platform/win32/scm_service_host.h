#pragma once
// The service host on the Service Control Manager. Install and uninstall are CreateService and
// DeleteService (own process, automatic start, LocalSystem) plus the event-log source whose
// message table is in this executable. Start runs StartServiceCtrlDispatcher on a thread of its
// own; its control handler posts every control to the window's thread, where the handlers run.
// The settings store is the registry under HKLM\SYSTEM\CurrentControlSet\Services\Corbelwynford:
// section "Parameters", key "RunAsService" is the value RunAsService (REG_SZ) of the subkey
// Parameters.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/service_host.h"
#include "platform/win32/windows_api.h"

namespace cw {

class ScmServiceHost final : public ServiceHost {
 public:
  static constexpr char kServiceName[] = "Corbelwynford";
  // Called on the dispatcher's thread with a service control code, or kControlServiceStarted
  // once ServiceMain has run; it must hand the code to the window's thread and return at once.
  using Notify = std::function<void(WPARAM control)>;

  // executable_path: this program's full path, the service's command.
  ScmServiceHost(std::string executable_path, Notify notify);
  ScmServiceHost(const ScmServiceHost&) = delete;
  ScmServiceHost& operator=(const ScmServiceHost&) = delete;

  std::string ReadSetting(const std::string& section, const std::string& key,
                          const std::string& default_value) override;
  void SaveSetting(const std::string& section, const std::string& key,
                   const std::string& value) override;
  bool Install() override;
  bool Uninstall() override;
  std::string DisplayName() const override { return kServiceName; }
  void SetInteractive(bool interactive) override { interactive_ = interactive; }
  void SetControlsAccepted(int32_t controls) override { controls_accepted_ = controls; }
  // Returns once the dispatcher has connected and ServiceMain has registered its handler, or
  // once the dispatcher has failed (a start from the desktop), or after 10 s at most.
  void Start() override;
  void LogEvent(int16_t event_type, int32_t event_id, const std::string& text) override;
  // The Service Control Manager shows no status text.
  void SetStatus(const std::string&) override {}

  // On the window's thread, after the handlers ran.
  void ReportStarted(bool success);
  void ReportPaused(bool paused);
  // Right before the process ends: the service manager hears that the service has stopped.
  void ReportStopped();

 private:
  static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
  static DWORD WINAPI ControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);
  static DWORD WINAPI DispatcherThread(LPVOID self);
  void SetState(DWORD state, DWORD exit_code = NO_ERROR);

  std::string executable_path_;
  Notify notify_;
  bool interactive_ = false;
  int32_t controls_accepted_ = 0;
  bool started_ = false;
  HANDLE ready_ = nullptr;
  std::mutex mutex_;  // the status, set from the window's and the dispatcher's threads
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
  SERVICE_STATUS status_{};
};

}  // namespace cw
