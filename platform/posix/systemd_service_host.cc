#include "platform/posix/systemd_service_host.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/utf8.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/run_command.h"
#include "platform/posix/unique_fd.h"
#include "settings/profile_format.h"
#include "systemd_unit.h"

namespace cw {
namespace {

constexpr char kUnitName[] = "corbelwynford.service";

// Packagers and the tests install into a staging tree; systemctl then works on that tree offline.
std::string Prefix() {
  const char* root = std::getenv("CORBELWYNFORD_ROOT");
  return root != nullptr ? root : "";
}
bool Offline() { return !Prefix().empty(); }
std::string UnitPath() { return Prefix() + "/etc/systemd/system/" + kUnitName; }
std::string WantsLinkPath() {
  return Prefix() + "/etc/systemd/system/multi-user.target.wants/" + kUnitName;
}
std::string StorePath() { return Prefix() + "/var/lib/corbelwynford/service.ini"; }
// Where the mode flag stands in the store, as in the Windows registry.
constexpr char kModeSection[] = "Parameters";
constexpr char kModeKey[] = "RunAsService";

// Each ServiceEvent's journal fields: its syslog priority, and the id and type of the same entry
// in Windows' event log, so that one search finds it on both systems.
struct JournalEvent {
  const char* priority;
  const char* id;
  const char* type;
};
constexpr JournalEvent kJournalEvents[] = {
    {"6", "110", "4"},  // kStarted: information
};

// Install and uninstall only answer true or false, so the reason goes to standard error, which
// the journal or the caller's terminal log keeps. Not while a terminal shows our screen: the text
// would be drawn over it.
void Diagnose(const std::string& text) {
  if (isatty(STDERR_FILENO)) return;
  std::string line = "corbelwynford: " + text + "\n";
  if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
    // Nothing sensible to do when even standard error is gone.
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// systemd refuses an executable path with quotes, backslashes or control characters in it, even
// escaped, and a line that is not UTF-8: such a program cannot be registered.
bool UsableExecutablePath(const std::string& path) {
  if (path.empty() || path[0] != '/' || !IsValidUtf8(path)) return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') return false;
  }
  return true;
}

// Inside double quotes the blanks and semicolons of a path are plain characters; a % would start a
// specifier. A $ needs nothing: systemd expands variables in the arguments, not in the path.
std::string QuotedExecStart(const std::string& path) {
  std::string out = "\"";
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out + "\"";
}

// sd_notify's protocol, sent without waiting. The status is told after every message, and a
// service manager slow to read its socket must never hold the relay up: a status that finds the
// socket's queue full is dropped, and the next one says as much and more.
void NotifyWithoutWaiting(const std::string& text) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path == nullptr || (path[0] != '/' && path[0] != '@') ||
      std::strlen(path) >= sizeof address.sun_path)
    return;
  std::memcpy(address.sun_path, path, std::strlen(path));
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return;
  const socklen_t length = offsetof(sockaddr_un, sun_path) + std::strlen(path);
  if (sendto(fd.get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address), length) < 0) {
    // Dropped: a status only.
  }
}

}  // namespace

SystemdServiceHost::SystemdServiceHost(std::string executable_path, std::string systemctl)
    : executable_path_(std::move(executable_path)), systemctl_(std::move(systemctl)) {}

bool SystemdServiceHost::Systemctl(std::vector<std::string> args, bool quiet) const {
  std::vector<std::string> argv{systemctl_};
  if (Offline()) argv.push_back("--root=" + Prefix());
  for (std::string& arg : args) argv.push_back(std::move(arg));
  return RunCommand(argv, quiet) == 0;
}

std::string SystemdServiceHost::ReadModeFlag() {
  std::ifstream in(StorePath(), std::ios::binary);
  return ReadProfileValue(in, kModeSection, kModeKey, "0");
}

void SystemdServiceHost::SaveModeFlag(bool service_mode) {
  WriteFileAtomically(
      StorePath(),
      std::string("[") + kModeSection + "]\n" + kModeKey + "=" + (service_mode ? "1" : "0") + "\n",
      0644);
}

bool SystemdServiceHost::Install() {
  if (!UsableExecutablePath(executable_path_)) {
    Diagnose("systemd cannot start a program at " + executable_path_);
    return false;
  }
  const std::string unit_path = UnitPath();
  // A second install fails and leaves the first one's unit alone, as registering a service name
  // twice does with other service managers.
  if (Exists(unit_path)) {
    Diagnose(unit_path + " already exists");
    return false;
  }
  // The unit's text, from platform/posix/corbelwynford.service.in.
  std::string unit = kUnitTemplate;
  const std::string placeholder = "{executable}";
  unit.replace(unit.find(placeholder), placeholder.size(), QuotedExecStart(executable_path_));
  try {
    WriteFileAtomically(unit_path, unit, 0644);
  } catch (const RelayError& error) {
    Diagnose(error.what());
    return false;
  }
  // Offline, systemctl reads the files themselves; there is no running manager to reload.
  bool ok = Offline() || Systemctl({"daemon-reload"});
  bool enable_tried = ok;
  ok = ok && Systemctl({"enable", kUnitName});
  if (ok) return true;

  Diagnose("installing " + unit_path + " failed; removing it");
  if (enable_tried) Systemctl({"disable", kUnitName}, true);
  // A link left by an enable that failed half-way would point at nothing.
  struct stat st;
  if (lstat(WantsLinkPath().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    unlink(WantsLinkPath().c_str());
  }
  unlink(unit_path.c_str());
  if (!Offline()) Systemctl({"daemon-reload"}, true);
  return false;
}

bool SystemdServiceHost::Uninstall() {
  const std::string unit_path = UnitPath();
  // Removing what was never installed fails, as it does with other service managers; the stored
  // mode flag then stays as it is.
  if (!Exists(unit_path)) {
    Diagnose(unit_path + " does not exist");
    return false;
  }
  // A failed disable leaves the registration whole rather than a link to a removed unit.
  if (!Systemctl({"disable", kUnitName})) return false;
  if (unlink(unit_path.c_str()) != 0 && errno != ENOENT) {
    Diagnose("Cannot remove " + unit_path + ": " + std::strerror(errno));
    return false;
  }
  if (!Offline() && !Systemctl({"daemon-reload"})) return false;
  return !Exists(unit_path) && !Exists(WantsLinkPath());
}

void SystemdServiceHost::Start() {
  // Without systemd (no NOTIFY_SOCKET) this does nothing, which is what a start from a shell wants.
  sd_notify(0, "READY=1");
  started_ = true;
}

void SystemdServiceHost::SetStatus(const std::string& line) {
  // One line: a line break would end the status early.
  if (started_ && line.find('\n') == std::string::npos && line.find('\0') == std::string::npos)
    NotifyWithoutWaiting("STATUS=" + line);
}

void SystemdServiceHost::LogEvent(ServiceEvent event, const std::string& text) {
  const JournalEvent& entry = kJournalEvents[static_cast<size_t>(event)];
  std::string fields[] = {
      "MESSAGE=" + text,
      std::string("PRIORITY=") + entry.priority,
      "SYSLOG_IDENTIFIER=corbelwynford",
      std::string("CORBELWYNFORD_EVENT_ID=") + entry.id,
      std::string("CORBELWYNFORD_EVENT_TYPE=") + entry.type,
  };
  // The vector form keeps every byte of the text, NUL and line breaks included.
  struct iovec iov[std::size(fields)];
  for (size_t i = 0; i < std::size(fields); ++i) {
    iov[i].iov_base = fields[i].data();
    iov[i].iov_len = fields[i].size();
  }
  sd_journal_sendv(iov, static_cast<int>(std::size(fields)));
}

}  // namespace cw
