#include "platform/posix/systemd_service_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/run_command.h"

namespace cw {
namespace {

constexpr char kUnitName[] = "corbelwynford.service";
constexpr char kDisplayName[] = "Corbelwynford";

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

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// systemctl's own messages show on our standard error unless quiet (clean-up after a failure,
// whose complaints would only repeat the first one).
bool Systemctl(std::vector<std::string> args, bool quiet = false) {
  // A hook for tests and packagers: which systemctl to run.
  const char* program = std::getenv("CORBELWYNFORD_SYSTEMCTL");
  std::vector<std::string> argv{program != nullptr && *program != '\0' ? program : "systemctl"};
  if (Offline()) argv.push_back("--root=" + Prefix());
  for (std::string& arg : args) argv.push_back(std::move(arg));
  return RunCommand(argv, quiet) == 0;
}

// ---- Files ----------------------------------------------------------------------------------

// False with errno set when the file cannot be read; the text may hold any byte.
bool ReadWholeFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

void MakeDirectories(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      throw RelayError(SystemError("Cannot create folder", part));
    }
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) throw RelayError(SystemError("Cannot create folder", dir));
  if (!S_ISDIR(st.st_mode)) throw RelayError("Cannot create folder " + dir + ": not a folder");
}

// Readers see the old file or the whole new one, never a part: the text goes to a temporary file
// in the same folder, reaches the disk, and is then renamed over the old one. A crash leaves at
// most a stray temporary file, whose dotted name no reader looks at.
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
  size_t slash = path.rfind('/');
  std::string dir = path.substr(0, slash);
  MakeDirectories(dir.empty() ? "/" : dir);
  std::string temp = dir + "/." + path.substr(slash + 1) + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw RelayError(SystemError("Cannot create a file in", dir));
  auto fail = [&](const char* what) {
    std::string message = SystemError(what, path);
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    throw RelayError(message);
  };
  if (fchmod(fd, mode) != 0) fail("Cannot set the mode of");
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("Cannot write");
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) fail("Cannot write");
  int closed = close(fd);
  fd = -1;
  if (closed != 0) fail("Cannot write");
  if (rename(temp.c_str(), path.c_str()) != 0) fail("Cannot replace");
  // The rename itself reaching the disk; the new file is complete either way.
  int dir_fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
}

// ---- The settings store: a small INI file -------------------------------------------------------

std::string_view Trim(std::string_view s) {
  size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    begin = end + 1;
  }
  return lines;
}

struct IniLine {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // raw value text, trimmed
};

IniLine ParseLine(std::string_view raw) {
  std::string_view line = Trim(raw);
  IniLine parsed;
  if (line.empty() || line[0] == ';' || line[0] == '#') return parsed;
  if (line[0] == '[') {
    size_t close = line.find(']');
    if (close == std::string_view::npos) return parsed;
    parsed.kind = IniLine::kSection;
    parsed.name = Trim(line.substr(1, close - 1));
    return parsed;
  }
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.kind = IniLine::kKey;
  parsed.name = Trim(line.substr(0, equals));
  parsed.value = Trim(line.substr(equals + 1));
  return parsed;
}

// Values keep every byte: line breaks, control bytes, backslashes and blanks at either end (which
// a reader trims) are written as \xHH or \\.
std::string EncodeValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = value[i];
    bool at_end = i == 0 || i + 1 == value.size();
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F || (at_end && c == ' ')) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A backslash that starts no known escape (a hand-edited file) stays as it is.
std::string DecodeValue(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
               HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Names that would not read back as the same name cannot be stored.
bool StorableName(const std::string& name, bool is_key) {
  if (name.empty() || Trim(name) != name) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  if (is_key) return name.find('=') == std::string::npos && name.find_first_of("[;#") != 0;
  return name.find(']') == std::string::npos;
}

// ---- The unit
// ------------------------------------------------------------------------------------

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || s.size() - i <= static_cast<size_t>(extra)) return false;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = s[i + k];
      if ((next >> 6) != 2) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMin[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// systemd refuses an executable path with quotes, backslashes or control characters in it, even
// escaped, and a line that is not UTF-8: such a program cannot be registered.
bool UsableExecutablePath(const std::string& path) {
  if (path.empty() || path[0] != '/' || !ValidUtf8(path)) return false;
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

}  // namespace

SystemdServiceHost::SystemdServiceHost(std::string executable_path,
                                       std::function<void()> on_started)
    : executable_path_(std::move(executable_path)), on_started_(std::move(on_started)) {}

std::string SystemdServiceHost::ReadSetting(const std::string& section, const std::string& key,
                                            const std::string& default_value) {
  std::string text;
  if (!ReadWholeFile(StorePath(), &text)) return default_value;
  bool in_section = false;
  for (const std::string& line : SplitLines(text)) {
    IniLine parsed = ParseLine(line);
    if (parsed.kind == IniLine::kSection) in_section = SameName(parsed.name, section);
    if (parsed.kind == IniLine::kKey && in_section && SameName(parsed.name, key)) {
      return DecodeValue(parsed.value);
    }
  }
  return default_value;
}

void SystemdServiceHost::SaveSetting(const std::string& section, const std::string& key,
                                     const std::string& value) {
  if (!StorableName(section, false) || !StorableName(key, true)) {
    throw RelayError("Cannot store a setting named [" + section + "] " + key);
  }
  const std::string path = StorePath();
  std::string text;
  // Rewriting a file we could not read would lose its other settings.
  if (!ReadWholeFile(path, &text) && errno != ENOENT) {
    throw RelayError(SystemError("Cannot read", path));
  }
  std::vector<std::string> lines = SplitLines(text);
  const std::string new_line = key + "=" + EncodeValue(value);
  bool in_section = false;
  size_t insert_at = std::string::npos;
  bool replaced = false;
  for (size_t i = 0; i < lines.size() && !replaced; ++i) {
    IniLine parsed = ParseLine(lines[i]);
    if (parsed.kind == IniLine::kSection) {
      in_section = SameName(parsed.name, section);
      if (in_section) insert_at = i + 1;
    } else if (parsed.kind == IniLine::kKey && in_section) {
      if (SameName(parsed.name, key)) {
        lines[i] = new_line;
        replaced = true;
      }
      insert_at = i + 1;
    }
  }
  if (!replaced && insert_at != std::string::npos) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), new_line);
  } else if (!replaced) {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
    lines.push_back("[" + section + "]");
    lines.push_back(new_line);
  }
  std::string new_text;
  for (const std::string& line : lines) new_text += line + "\n";
  WriteFileAtomically(path, new_text, 0644);
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
  // A systemd service never has a desktop to interact with: interactive_ changes nothing here.
  // Of the controls, stop and shutdown both arrive as SIGTERM, and systemd has no pause or
  // continue, so controls_accepted_ needs no line either. No restart: a relay that ended on an
  // error would most likely meet it again, and the administrator should see it stopped.
  const std::string lines[] = {
      "# Written by \"corbelwynford /I\" and removed by \"corbelwynford /U\".",
      "[Unit]",
      std::string("Description=") + kDisplayName,
      "Wants=network-online.target",
      "After=network-online.target",
      "",
      "[Service]",
      "Type=notify",
      "ExecStart=" + QuotedExecStart(executable_path_),
      "StandardInput=null",
      "StandardOutput=journal",
      "StandardError=journal",
      "Restart=no",
      "",
      "[Install]",
      "WantedBy=multi-user.target",
  };
  std::string unit;
  for (const std::string& line : lines) unit += line + "\n";
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
    Diagnose(SystemError("Cannot remove", unit_path));
    return false;
  }
  if (!Offline() && !Systemctl({"daemon-reload"})) return false;
  return !Exists(unit_path) && !Exists(WantsLinkPath());
}

std::string SystemdServiceHost::DisplayName() const { return kDisplayName; }

void SystemdServiceHost::SetInteractive(bool interactive) { interactive_ = interactive; }

void SystemdServiceHost::SetControlsAccepted(int32_t controls) { controls_accepted_ = controls; }

void SystemdServiceHost::Start() {
  // Without systemd (no NOTIFY_SOCKET) this does nothing, which is what a start from a shell wants.
  sd_notify(0, "READY=1");
  if (on_started_) on_started_();
}

void SystemdServiceHost::LogEvent(int16_t event_type, int32_t event_id, const std::string& text) {
  // Error, warning and audit failure get their syslog priorities; everything else is information.
  int priority = event_type == 1 ? 3 : (event_type == 2 || event_type == 16) ? 4 : 6;
  std::string fields[] = {
      "MESSAGE=" + text,
      "PRIORITY=" + std::to_string(priority),
      "SYSLOG_IDENTIFIER=corbelwynford",
      "CORBELWYNFORD_EVENT_ID=" + std::to_string(event_id),
      "CORBELWYNFORD_EVENT_TYPE=" + std::to_string(event_type),
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
