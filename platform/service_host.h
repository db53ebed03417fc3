#pragma once
// The service host: registers the program as a system service, keeps the persisted mode flag, and
// turns the service manager's requests into WindowEvents::OnService* notifications on the loop's
// thread once Start() has been called.
#include <cstdint>
#include <string>

namespace cw {

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  // The host's own settings store. A read of a value never saved gives default_value back.
  virtual std::string ReadSetting(const std::string& section, const std::string& key,
                                  const std::string& default_value) = 0;
  // Throws RelayError when the value cannot be stored; the old value is then kept.
  virtual void SaveSetting(const std::string& section, const std::string& key,
                           const std::string& value) = 0;
  // True only when every step succeeded; a failed install removes what it wrote.
  virtual bool Install() = 0;
  // True only when the registration is gone.
  virtual bool Uninstall() = 0;
  virtual std::string DisplayName() const = 0;
  virtual void SetInteractive(bool interactive) = 0;
  virtual void SetControlsAccepted(int32_t controls) = 0;
  // Makes the running process the service: the host reports readiness and from then on delivers
  // the service manager's requests as notifications.
  virtual void Start() = 0;
  // One entry in the system's event log; a failure is not reported.
  virtual void LogEvent(int16_t event_type, int32_t event_id, const std::string& text) = 0;
  // How the running service is doing, in one line, for the service manager to show (systemctl
  // status); nothing where it shows none or before Start().
  virtual void SetStatus(const std::string& line) = 0;
};

}  // namespace cw
