#pragma once
// The service host on systemd. The mode flag is kept in the host's own file
// /var/lib/corbelwynford/service.ini ("[Parameters]", "RunAsService=1"), replaced whole and
// atomically by every save; install and uninstall write and remove the unit
// /etc/systemd/system/corbelwynford.service and run systemctl. CORBELWYNFORD_ROOT, when set,
// prefixes every system path, and systemctl then runs offline with --root.
#include <string>
#include <vector>

#include "platform/service_host.h"

namespace cw {

class SystemdServiceHost final : public ServiceHost {
 public:
  // executable_path: this program's absolute path, written into the unit's ExecStart.
  // systemctl: the program that enables and disables the unit, looked up on PATH without a slash.
  SystemdServiceHost(std::string executable_path, std::string systemctl);

  std::string ReadModeFlag() override;
  void SaveModeFlag(bool service_mode) override;
  bool Install() override;
  bool Uninstall() override;
  void Start() override;
  void LogEvent(ServiceEvent event, const std::string& text) override;
  void SetStatus(const std::string& line) override;
  // True once Start() has reported readiness: from then on SIGTERM is the service manager's stop.
  bool Started() const { return started_; }

 private:
  // systemctl's messages show on our standard error unless quiet (clean-up after a failure, whose
  // complaints would only repeat the first one).
  bool Systemctl(std::vector<std::string> args, bool quiet = false) const;

  std::string executable_path_;
  std::string systemctl_;
  bool started_ = false;
};

}  // namespace cw
