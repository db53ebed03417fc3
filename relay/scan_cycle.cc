#include "relay/scan_cycle.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "base/ascii.h"
#include "convert/template_escape.h"
#include "platform/transfer_rules.h"
#include "relay/line_reader.h"
#include "settings/numeric.h"

namespace cw {
namespace {

constexpr std::string_view kPlaceholder = "[Message]";

bool IsSuccessStatus(long status) { return status >= 200 && status <= 299; }

// Why a message failed, in one line: the request could not start or the control reported an
// error, the server answered with another status than 2xx, or no answer came in time.
std::string FailureReason(Corbelwynford_Procs& procs, const std::string& send_error,
                          int16_t wait_seconds) {
  TransferControl& inet = procs.platform.inet;
  if (!send_error.empty()) return "Corbelwynford could not send: " + send_error;
  if (procs.TransferState == TransferControl::kStateError)
    return "Corbelwynford could not send: " + inet.ErrorText();
  if (procs.TransferState == TransferControl::kStateResponseCompleted)
    return "Corbelwynford got HTTP status " + std::to_string(inet.ResponseCode());
  return "Corbelwynford got no answer within " + std::to_string(wait_seconds) + " seconds";
}

// Watches the scan file's folder while WatchFile is on (any value but empty or "0"). A folder
// that cannot be watched is logged once; the scan timer does the work meanwhile.
void FollowScanFile(Corbelwynford_Procs& procs, const std::string& scan_file,
                    const std::string& watch_setting) {
  FolderWatch& watch = procs.platform.watch;
  if (watch_setting.empty() || watch_setting == "0" || scan_file.empty()) {
    watch.StopWatching();
    return;
  }
  // Windows takes "/" as well as its own separator; on Linux the two are the same.
  const char separators[] = {procs.platform.files.PathSeparator(), '/', '\0'};
  const size_t cut = scan_file.find_last_of(separators);
  if (cut == std::string::npos) return;  // always in a folder: AppPath ends in a separator
  const std::string folder = scan_file.substr(0, cut + 1);
  try {
    watch.Watch(folder, scan_file.substr(cut + 1));
    procs.UnwatchableFolder.clear();
  } catch (const std::exception& error) {
    if (procs.UnwatchableFolder == folder) return;
    procs.UnwatchableFolder = folder;
    procs.WriteLog("Corbelwynford cannot watch " + folder + ": " + error.what() +
                   "; scanning every ScanInterval");
  }
}

}  // namespace

std::string ResolveScanFile(const FileSystem& files, const std::string& app_path,
                            const std::string& file_to_scan) {
  if (files.IsAbsolutePath(file_to_scan)) return file_to_scan;
  return app_path + file_to_scan;
}

std::string RemoveBrackets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '[' && c != ']' && c != '\\' && c != '{' && c != '}') out += c;
  }
  return out;
}

std::string FillBodyTemplate(std::string_view template_text, std::string_view message) {
  std::string body;
  body.reserve(template_text.size() + message.size());
  size_t at = 0;
  for (size_t found;
       (found = FindIgnoringCase(template_text, kPlaceholder, at)) != std::string_view::npos;) {
    body.append(template_text, at, found - at);
    body += message;
    at = found + kPlaceholder.size();
  }
  body.append(template_text, at);
  return body;
}

void RunScanCycle(Corbelwynford_Procs& procs) {
  Platform& platform = procs.platform;
  EventLoop& loop = platform.loop;
  TransferControl& inet = platform.inet;
  bool error_pending = false;
  // The continue-on-error rule: a step that fails is abandoned and leaves an error pending.
  auto step = [&error_pending](auto&& body) {
    try {
      body();
    } catch (const std::exception&) {
      error_pending = true;
    }
  };

  // Settings and claim. Each setting starts at 0 or the empty text, which it keeps when its
  // step fails (a number that does not fit its type, for instance).
  int32_t interval_ms = 0;
  std::string scan_file, claim_file, url, headers, body_template;
  int16_t wait_seconds = 0;
  int16_t protocol = 0;
  bool to_dos = false, to_ia5 = false, to_utf8 = false, to_html = false;
  std::string failed_file;
  TemplateEscape escape = TemplateEscape::kNone;

  step([&] {
    scan_file = ResolveScanFile(platform.files, procs.AppPath,
                                procs.GetIniString("General", "FileToScan", "InComingSMS.txt"));
    claim_file = scan_file + ".$$$";
  });
  // The claim never replaces an existing claim file: one left by an interrupted run is
  // processed again from its first line, and the new scan file waits for a later cycle. A file
  // that a feed is writing into is left to the next tick or watch event.
  step([&] {
    if (platform.files.Exists(scan_file)) platform.files.Claim(scan_file, claim_file);
  });
  step([&] { FollowScanFile(procs, scan_file, procs.GetIniString("General", "WatchFile", "")); });
  // Nothing to claim: the timer keeps ticking at its current interval. The other settings are
  // read only for a claim, so an idle tick costs a few system calls, not one per setting.
  if (!platform.files.Exists(claim_file)) return;

  step([&] {
    interval_ms =
        RoundToInt32(NumericValue(procs.GetIniString("General", "ScanInterval", "10")) * 1000.0);
  });
  interval_ms = std::clamp(interval_ms, 1000, 60000);
  step([&] {
    wait_seconds =
        RoundToInt16(NumericValue(procs.GetIniString("Protocol", "WaitForAnswer", "20")));
  });
  step([&] { url = TrimSpaces(procs.GetIniString("Protocol", "URL", "")); });
  step([&] {
    headers = ResolveLineEscapes(TrimSpaces(procs.GetIniString("Protocol", "Header", "")));
  });
  step([&] { body_template = ResolveLineEscapes(procs.GetIniString("Protocol", "XML", "")); });
  step([&] {
    protocol = RoundToInt16(NumericValue(procs.GetIniString("Protocol", "Protocol", "5")));
  });
  step([&] { to_dos = SwitchIsOn(procs.GetIniString("Protocol", "ISOtoDOS", "0")); });
  step([&] { to_ia5 = SwitchIsOn(procs.GetIniString("Protocol", "ISOtoIA5", "0")); });
  step([&] { to_utf8 = SwitchIsOn(procs.GetIniString("Protocol", "ISOtoUTF8", "0")); });
  step([&] { to_html = SwitchIsOn(procs.GetIniString("Protocol", "ISOtoHTML", "0")); });
  step([&] { escape = TemplateEscapeFromSetting(procs.GetIniString("Protocol", "Escape", "")); });
  step([&] {
    const std::string name = procs.GetIniString("General", "FailedFile", "");
    // A failed message kept in the incoming file, or in its claim, would come back every cycle.
    if (!name.empty()) failed_file = ResolveScanFile(platform.files, procs.AppPath, name);
    if (failed_file == scan_file || failed_file == claim_file) failed_file.clear();
  });
  error_pending = false;

  std::unique_ptr<ReadableFile> file;
  step([&] { file = platform.files.OpenForReading(claim_file); });
  if (!file) return;  // a claim that does not open waits: the timer keeps ticking
  step([&] { loop.SetTimerEnabled(TimerId::kFileScan, false); });

  LineReader lines(*file);
  std::string original, text, body, answer, send_error;
  while (!error_pending) {
    // A line that cannot be read ends the loop: repeating the previous message for as long as
    // the read keeps failing would post it without end.
    try {
      if (lines.AtEnd()) break;
      original = lines.ReadLine();
      text = original;
      if (lines.WholeFileWithoutCarriageReturn() && original.find('\n') != std::string::npos) {
        procs.WriteLog("Corbelwynford sends " + claim_file +
                       " as one message: it holds line feeds but no carriage return, and each "
                       "message must end in CR LF");
      }
    } catch (const std::exception&) {
      procs.WriteLog("Corbelwynford could not read " + claim_file +
                     ", the rest of it was not sent");
      break;
    }
    if (to_dos) step([&] { text = ConvISOtoDOS(text); });
    if (to_ia5) step([&] { text = ConvISOtoIA5(text); });
    if (to_utf8) step([&] { text = ConvISOtoUTF8(text); });
    if (to_html) step([&] { text = ConvISOtoHTML(text); });
    step([&] { text = RemoveBrackets(text); });
    step([&] { text = EscapeForTemplate(text, escape); });
    step([&] { body = FillBodyTemplate(body_template, text); });
    step([&] { procs.AwaitTransfer(wait_seconds, true); });
    step([&] { inet.SetProtocol(protocol); });
    step([&] { inet.SetRequestTimeout(RequestTimeoutSeconds(wait_seconds)); });
    step([&] { procs.WriteTrafficLog(1, body); });
    procs.TransferState = 0;
    send_error.clear();
    try {
      inet.Execute(url, body, headers);
    } catch (const std::exception& error) {
      send_error = error.what();
      error_pending = true;
    }
    step([&] { answer = procs.AwaitTransfer(wait_seconds, false); });
    // A completed request shows its answer whatever its status; only a 2xx status is a
    // success, so an error page from the server is not reported as a delivered message.
    bool delivered = false;
    if (procs.TransferState == TransferControl::kStateResponseCompleted) {
      step([&] { procs.WriteTrafficLog(0, answer); });
      step([&] { delivered = IsSuccessStatus(inet.ResponseCode()); });
    }
    if (!delivered) {
      procs.WriteLog(FailureReason(procs, send_error, wait_seconds));
      if (!failed_file.empty()) {
        try {
          platform.files.AppendLine(failed_file, original);
        } catch (const std::exception& error) {
          procs.WriteLog("Corbelwynford could not keep the failed message in " + failed_file +
                         ": " + error.what());
        }
      }
    }
    procs.WriteLog(delivered ? "Sending completed successfully" : "Sending failed");
    error_pending = false;  // the outcome entry clears the pending error
    step([&] { procs.PauseSeconds(1); });
  }

  step([&] { file->Close(); });
  step([&] { platform.files.Delete(claim_file); });
  step([&] { loop.SetTimerInterval(TimerId::kFileScan, interval_ms); });
  step([&] { loop.SetTimerEnabled(TimerId::kFileScan, true); });
}

}  // namespace cw
