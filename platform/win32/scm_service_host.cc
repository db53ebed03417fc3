#include "platform/win32/scm_service_host.h"

#include <winsvc.h>

#include <vector>

#include "base/errors.h"
#include "platform/win32/win32_messages.h"

namespace cw {
namespace {

constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corbelwynford";
constexpr DWORD kPendingWaitHintMs = 10000;
constexpr DWORD kStartWaitMs = 10000;

// The mode flag: the value RunAsService of this key below HKLM.
constexpr char kModeKey[] = "SYSTEM\\CurrentControlSet\\Services\\Corbelwynford\\Parameters";
constexpr char kModeValue[] = "RunAsService";
constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Each ServiceEvent's entry: its type, and its id in this executable's message table.
struct EventLogEntry {
  WORD type;
  DWORD id;
};
constexpr EventLogEntry kEventLogEntries[] = {
    {EVENTLOG_INFORMATION_TYPE, 110},  // kStarted: CW_EVENT_STARTED
};

// The one host of this process, for ServiceMain, which the dispatcher calls without context.
ScmServiceHost* g_host = nullptr;

using ScHandle = OwnedHandle<SC_HANDLE, CloseServiceHandle>;

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

std::string ScmServiceHost::ReadModeFlag() {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kModeKey, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
    return "0";
  }
  DWORD type = 0;
  DWORD size = 0;
  std::string result = "0";
  if (RegQueryValueExA(handle, kModeValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<BYTE> data(size + 1);
    if (RegQueryValueExA(handle, kModeValue, nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
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

void ScmServiceHost::SaveModeFlag(bool service_mode) {
  HKEY handle = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kModeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &handle, nullptr);
  if (result != ERROR_SUCCESS) {
    throw RelayError("Cannot open the settings key: error " + std::to_string(result));
  }
  const char* flag = service_mode ? "1" : "0";
  result = RegSetValueExA(handle, kModeValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(flag), 2);
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
  ScHandle service(CreateServiceA(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
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

void ScmServiceHost::SetState(DWORD state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_handle_ == nullptr) return;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status_.dwCurrentState = state;
  // Controls are accepted only while running; a pending state takes none.
  status_.dwControlsAccepted = state == SERVICE_RUNNING ? kAcceptedControls : 0;
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

void ScmServiceHost::LogEvent(ServiceEvent event, const std::string& text) {
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  const std::string shown = text.substr(0, text.find('\0'));
  const char* strings[] = {shown.c_str()};
  const EventLogEntry& entry = kEventLogEntries[static_cast<size_t>(event)];
  ReportEventA(source, entry.type, 0, entry.id, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace cw
