#include "relay/relay_settings.h"

#include <algorithm>
#include <exception>

#include "settings/numeric.h"

namespace cw {
namespace {

std::optional<DefaultScheme> DefaultSchemeFor(int16_t protocol) {
  if (protocol < 0 || protocol > 5) return std::nullopt;
  return protocol == 5 ? DefaultScheme::kHttps : DefaultScheme::kHttp;
}

}  // namespace

RelaySettings ReadRelaySettings(const SettingsFile& file) {
  RelaySettings s;
  auto step = [](auto&& read) {
    try {
      read();
    } catch (const std::exception&) {
      // The setting keeps its 0 or empty text.
    }
  };
  auto text = [&](const char* section, const char* key, const char* default_text) {
    return file.GetIniString(section, key, default_text);
  };
  step([&] {
    s.scan_interval_ms = RoundToInt32(NumericValue(text("General", "ScanInterval", "10")) * 1000.0);
  });
  s.scan_interval_ms = std::clamp(s.scan_interval_ms, 1000, 60000);
  step([&] {
    s.wait_seconds = RoundToInt16(NumericValue(text("Protocol", "WaitForAnswer", "20")));
  });
  step([&] { s.url = TrimSpaces(text("Protocol", "URL", "")); });
  step([&] { s.headers = ResolveLineEscapes(TrimSpaces(text("Protocol", "Header", ""))); });
  step([&] { s.body_template = ResolveLineEscapes(text("Protocol", "XML", "")); });
  step([&] {
    s.default_scheme =
        DefaultSchemeFor(RoundToInt16(NumericValue(text("Protocol", "Protocol", "5"))));
  });
  step([&] { s.to_dos = SwitchIsOn(text("Protocol", "ISOtoDOS", "0")); });
  step([&] { s.to_ia5 = SwitchIsOn(text("Protocol", "ISOtoIA5", "0")); });
  step([&] { s.to_utf8 = SwitchIsOn(text("Protocol", "ISOtoUTF8", "0")); });
  step([&] { s.to_html = SwitchIsOn(text("Protocol", "ISOtoHTML", "0")); });
  step([&] { s.escape = TemplateEscapeFromSetting(text("Protocol", "Escape", "")); });
  step([&] { s.failed_file = text("General", "FailedFile", ""); });
  s.retry_after = ReadRetryAfter(file);
  return s;
}

int32_t ReadRetryAfter(const SettingsFile& settings) {
  try {
    return RoundToInt32(NumericValue(settings.GetIniString("General", "RetryAfter", "")));
  } catch (const std::exception&) {
    return 0;  // a number too large for a count of seconds turns it off, like 0
  }
}

std::string ResolveFromProgramFolder(const FileSystem& files, const std::string& program_folder,
                                     const std::string& name) {
  if (files.IsAbsolutePath(name)) return name;
  return program_folder + name;
}

}  // namespace cw
