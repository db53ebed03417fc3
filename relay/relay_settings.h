#pragma once
// What the relay reads from the settings file when it has a claim file to work through; an idle
// scan reads only FileToScan, WatchFile and RetryAfter (and FailedFile when RetryAfter is on).
#include <cstdint>
#include <optional>
#include <string>

#include "convert/template_escape.h"
#include "platform/files.h"
#include "platform/http_transfer.h"
#include "settings/settings_file.h"

namespace cw {

struct RelaySettings {
  int32_t scan_interval_ms = 0;  // ScanInterval in ms, held to 1000..60000
  int16_t wait_seconds = 0;      // WaitForAnswer
  std::string url;               // URL, spaces at both ends removed
  std::string headers;           // Header, spaces removed, then \n and \r resolved
  std::string body_template;     // XML, \n and \r resolved
  // Protocol: 5 https, 0 to 4 http, any other number refused (none); a value that does not fit
  // counts as 0.
  std::optional<DefaultScheme> default_scheme = DefaultScheme::kHttp;
  bool to_dos = false, to_ia5 = false, to_utf8 = false, to_html = false;  // ISOto*
  TemplateEscape escape = TemplateEscape::kNone;                          // Escape
  std::string failed_file;                                                // FailedFile, as written
  int32_t retry_after = 0;  // RetryAfter in seconds; 0 or less: the failed file stays as it is
};

// Every setting above, each in its own step: one whose value does not fit its type keeps 0 (the
// interval its lowest bound), and the others are read all the same.
RelaySettings ReadRelaySettings(const SettingsFile& settings);
// RetryAfter alone, as ReadRelaySettings reads it.
int32_t ReadRetryAfter(const SettingsFile& settings);

// A file named by FileToScan or FailedFile: an absolute path is used as written, anything else is
// taken from the program's folder (which ends in its separator) by plain concatenation.
std::string ResolveFromProgramFolder(const FileSystem& files, const std::string& program_folder,
                                     const std::string& name);

}  // namespace cw
