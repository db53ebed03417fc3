#pragma once
// The service host: registers the program as a system service, keeps the stored mode flag, and
// once Start() has been called hands the service manager's stop to the program on the loop's
// thread.
#include <string>

namespace cw {

// The entries the service writes to the system's event log (the journal on Linux).
enum class ServiceEvent {
  kStarted,  // information: the service has started
};

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  // The stored mode flag (RunAsService) as text: "1" after "/I", "0" after "/U", or whatever an
  // administrator stored there; "0" when nothing is stored or it cannot be read.
  virtual std::string ReadModeFlag() = 0;
  // Stores "1" for service mode, "0" for application mode. Throws RelayError when it cannot be
  // stored; the old flag is then kept.
  virtual void SaveModeFlag(bool service_mode) = 0;
  // True only when every step succeeded; a failed install removes what it wrote. The service
  // accepts stop and shutdown.
  virtual bool Install() = 0;
  // True only when the registration is gone.
  virtual bool Uninstall() = 0;
  // Makes the running process the service: the host reports readiness and from then on delivers
  // the service manager's stop.
  virtual void Start() = 0;
  // One entry in the system's event log; a failure is not reported.
  virtual void LogEvent(ServiceEvent event, const std::string& text) = 0;
  // How the running service is doing, in one line, for the service manager to show (systemctl
  // status); nothing where it shows none or before Start().
  virtual void SetStatus(const std::string& line) = 0;
};

}  // namespace cw
