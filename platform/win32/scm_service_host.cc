#include "platform/win32/scm_service_host.h"

#include <winsvc.h>

#include <vector>

#include "base/errors.h"
#include "platform/win32/win32_messages.h"

namespace cw {
namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corbelwynford";
constexpr DWORD kPendingWaitHintMs = 10000;
constexpr DWORD kStartWaitMs = 10000;

// The registry key (below HKLM) that holds a section of the settings store.
std::string SettingsKey(const std::string& section) {
  return std::string(kServicesKey) + ScmServiceHost::kServiceName + "\\" + section;
}

// The one host of this process, for ServiceMain, which the dispatcher calls without context.
ScmServiceHost* g_host = nullptr;

bool StorableName(const std::string& name, bool may_hold_backslash) {
  if (name.find('\0') != std::string::npos) return false;
  return may_hold_backslash || (!name.empty() && name.find('\\') == std::string::npos);
}

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ScHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

// The event-log source: the Event Viewer finds the entries' message (110: "%1") in this
// executable's message table.
bool AddEventSource(const std::string& executable_path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  bool ok = RegSetValueExA(key, "EventMessageFile", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(executable_path.c_str()),
                           static_cast<DWORD>(executable_path.size() + 1)) == ERROR_SUCCESS &&
            RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
  return ok;
}

}  // namespace

ScmServiceHost::ScmServiceHost(std::string executable_path, Notify notify)
    : executable_path_(std::move(executable_path)), notify_(std::move(notify)) {
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = SERVICE_STOPPED;
}

std::string ScmServiceHost::ReadSetting(const std::string& section, const std::string& key,
                                        const std::string& default_value) {
  if (!StorableName(section, false) || !StorableName(key, true)) return default_value;
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKey(section).c_str(), 0, KEY_QUERY_VALUE,
                    &handle) != ERROR_SUCCESS) {
    return default_value;
  }
  DWORD type = 0;
  DWORD size = 0;
  std::string result = default_value;
  if (RegQueryValueExA(handle, key.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<BYTE> data(size + 1);
    if (RegQueryValueExA(handle, key.c_str(), nullptr, &type, data.data(), &size) ==
        ERROR_SUCCESS) {
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        // The stored text ends in its terminating NUL (usually); the NUL is not part of it.
        std::string text(reinterpret_cast<const char*>(data.data()), size);
        if (!text.empty() && text.back() == '\0') text.pop_back();
        result = text;
      } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD number = 0;
        memcpy(&number, data.data(), sizeof number);
        result = std::to_string(number);
      }
    }
  }
  RegCloseKey(handle);
  return result;
}

void ScmServiceHost::SaveSetting(const std::string& section, const std::string& key,
                                 const std::string& value) {
  if (!StorableName(section, false) || !StorableName(key, true)) {
    throw RelayError("Cannot store a setting named [" + section + "] " + key);
  }
  // A REG_SZ text ends at its first NUL for every reader.
  if (value.find('\0') != std::string::npos) throw RelayError("Cannot store a NUL in a setting");
  HKEY handle = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey(section).c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (result != ERROR_SUCCESS) {
    throw RelayError("Cannot open the settings key: error " + std::to_string(result));
  }
  result =
      RegSetValueExA(handle, key.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) {
    throw RelayError("Cannot store the setting: error " + std::to_string(result));
  }
}

bool ScmServiceHost::Install() {
  ScHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (manager.get() == nullptr) return false;
  const std::string command = "\"" + executable_path_ + "\"";
  const DWORD type = SERVICE_WIN32_OWN_PROCESS | (interactive_ ? SERVICE_INTERACTIVE_PROCESS : 0);
  ScHandle service(CreateServiceA(manager.get(), kServiceName, DisplayName().c_str(),
                                  SERVICE_ALL_ACCESS, type, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
  if (service.get() == nullptr) return false;
  if (!AddEventSource(executable_path_)) {
    DeleteService(service.get());
    return false;
  }
  return true;
}

bool ScmServiceHost::Uninstall() {
  ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return false;
  ScHandle service(OpenServiceA(manager.get(), kServiceName, DELETE));
  if (service.get() == nullptr || !DeleteService(service.get())) return false;
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
  return true;
}

void ScmServiceHost::SetState(DWORD state, DWORD exit_code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_handle_ == nullptr) return;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  status_.dwCurrentState = state;
  // Controls are accepted only while running or paused; a pending state takes none.
  status_.dwControlsAccepted =
      pending || state == SERVICE_STOPPED ? 0 : static_cast<DWORD>(controls_accepted_);
  status_.dwWin32ExitCode = exit_code;
  status_.dwCheckPoint = pending ? status_.dwCheckPoint + 1 : 0;
  status_.dwWaitHint = pending ? kPendingWaitHintMs : 0;
  SetServiceStatus(status_handle_, &status_);
}

DWORD WINAPI ScmServiceHost::ControlHandler(DWORD control, DWORD /*event_type*/,
                                            LPVOID /*event_data*/, LPVOID context) {
  auto* host = static_cast<ScmServiceHost*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      host->SetState(SERVICE_STOP_PENDING);
      host->notify_(control);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      host->SetState(SERVICE_PAUSE_PENDING);
      host->notify_(control);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      host->SetState(SERVICE_CONTINUE_PENDING);
      host->notify_(control);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ScmServiceHost::ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
  ScmServiceHost* host = g_host;
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExA(kServiceName, &ScmServiceHost::ControlHandler, host);
  {
    std::lock_guard<std::mutex> lock(host->mutex_);
    host->status_handle_ = handle;
  }
  if (handle != nullptr) {
    host->SetState(SERVICE_START_PENDING);
    // Running is reported from the window's thread once the start notification has run there.
    host->notify_(kControlServiceStarted);
  }
  SetEvent(host->ready_);
  // Returning is fine: the dispatcher keeps delivering controls until the service stops.
}

DWORD WINAPI ScmServiceHost::DispatcherThread(LPVOID self) {
  auto* host = static_cast<ScmServiceHost*>(self);
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>(kServiceName), &ScmServiceHost::ServiceMain},
                                  {nullptr, nullptr}};
  // Fails at once when the process was not started by the service manager.
  if (!StartServiceCtrlDispatcherA(table)) SetEvent(host->ready_);
  return 0;
}

void ScmServiceHost::Start() {
  if (started_) return;
  started_ = true;
  g_host = this;
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ready_ == nullptr) return;
  HANDLE thread = CreateThread(nullptr, 0, &ScmServiceHost::DispatcherThread, this, 0, nullptr);
  if (thread == nullptr) return;
  CloseHandle(thread);
  WaitForSingleObject(ready_, kStartWaitMs);
}

void ScmServiceHost::ReportStarted(bool success) {
  SetState(success ? SERVICE_RUNNING : SERVICE_STOPPED,
           success ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

void ScmServiceHost::ReportPaused(bool paused) {
  SetState(paused ? SERVICE_PAUSED : SERVICE_RUNNING);
}

void ScmServiceHost::ReportStopped() { SetState(SERVICE_STOPPED); }

void ScmServiceHost::LogEvent(int16_t event_type, int32_t event_id, const std::string& text) {
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  const std::string shown = text.substr(0, text.find('\0'));
  const char* strings[] = {shown.c_str()};
  ReportEventA(source, static_cast<WORD>(event_type), 0, static_cast<DWORD>(event_id), nullptr, 1,
               0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace cw
