#pragma once
// The service host on the Service Control Manager. Install and uninstall are CreateService and
// DeleteService (own process, automatic start, LocalSystem) plus the event-log source whose
// message table is in this executable. Start runs StartServiceCtrlDispatcher on a thread of its
// own; its control handler posts stop and shutdown to the window's thread, where the handlers run.
// The mode flag is the value RunAsService (REG_SZ) of the key
// HKLM\SYSTEM\CurrentControlSet\Services\Corbelwynford\Parameters.
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

  std::string ReadModeFlag() override;
  void SaveModeFlag(bool service_mode) override;
  bool Install() override;
  bool Uninstall() override;
  // Returns once the dispatcher has connected and ServiceMain has registered its handler, or
  // once the dispatcher has failed (a start from the desktop), or after 10 s at most.
  void Start() override;
  void LogEvent(ServiceEvent event, const std::string& text) override;
  // The Service Control Manager shows no status text.
  void SetStatus(const std::string&) override {}

  // Tells the service manager the service's state: from the window's thread SERVICE_RUNNING,
  // once the start notification has arrived there, and SERVICE_STOPPED right before the process
  // ends. Nothing happens before the dispatcher has connected.
  void SetState(DWORD state);

 private:
  static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
  static DWORD WINAPI ControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);
  static DWORD WINAPI DispatcherThread(LPVOID self);

  std::string executable_path_;
  Notify notify_;
  bool started_ = false;
  HANDLE ready_ = nullptr;
  std::mutex mutex_;  // the status, set from the window's and the dispatcher's threads
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
  SERVICE_STATUS status_{};
};

}  // namespace cw
