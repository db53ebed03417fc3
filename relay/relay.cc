#include "relay/relay.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "convert/conversions.h"
#include "platform/transfer_rules.h"
#include "relay/await_answer.h"
#include "relay/message_body.h"

namespace cw {
namespace {

// A line this long leaves memory behind that the system should have back.
constexpr size_t kLargeLine = 1 << 20;

// The continue-on-error rule: true when the step ran, false when it failed and was abandoned.
template <typename Step>
bool Guarded(Step&& step) {
  try {
    step();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Why a message failed, in one line: the request could not start or ended in an error, the server
// answered with another status than 2xx, or no answer came in time.
std::string FailureReason(const HttpOutcome& outcome, const std::string& send_error,
                          int16_t wait_seconds) {
  if (!send_error.empty()) return "Corbelwynford could not send: " + send_error;
  switch (outcome.state) {
    case HttpOutcome::State::kFailed:
      return "Corbelwynford could not send: " + outcome.reason;
    case HttpOutcome::State::kAnswered:
      return "Corbelwynford got HTTP status " + std::to_string(outcome.status);
    case HttpOutcome::State::kNone:
      break;
  }
  return "Corbelwynford got no answer within " + std::to_string(wait_seconds) + " seconds";
}

}  // namespace

void Relay::ScanTick() {
  FileSystem& files = platform_.files;
  std::string scan_file, claim_file;
  Guarded([&] {
    scan_file = ResolveFromProgramFolder(
        files, program_folder_, settings_.GetIniString("General", "FileToScan", "InComingSMS.txt"));
    claim_file = scan_file + ".$$$";
  });
  // A claim file left by an interrupted run is processed again from its first line before a new
  // incoming file is claimed: the claim never replaces it.
  const bool claimed = files.Exists(claim_file) || ClaimIncoming(scan_file, claim_file);
  Guarded([&] { FollowScanFile(scan_file, settings_.GetIniString("General", "WatchFile", "")); });
  // Nothing to claim: the timer keeps ticking at its current interval. The other settings are
  // read only for a claim, so an idle tick costs a few system calls, not one per setting.
  const bool retrying = !claimed && ClaimForRetry(scan_file, claim_file);
  if (!claimed && !retrying) return;

  RelaySettings settings = ReadRelaySettings(settings_);
  Guarded([&] { settings.failed_file = FailedFile(settings.failed_file, scan_file, claim_file); });
  retry_round_ = retrying;
  WorkThroughClaim(scan_file, claim_file, settings);
  retry_round_ = false;
}

void Relay::WorkThroughClaim(const std::string& scan_file, const std::string& claim_file,
                             const RelaySettings& settings) {
  ClaimProgress progress(platform_.files, claim_file);
  std::unique_ptr<ReadableFile> file;
  std::optional<LineReader> lines;
  // A claim that does not open waits: the timer keeps ticking.
  if (!OpenAtRecord(claim_file, progress, file, lines)) return;
  Guarded([&] { scan_timer_->Stop(); });
  const uint64_t delivered_before = delivered_;
  const size_t longest = SendClaimFile(*lines, progress, scan_file, claim_file, settings);
  // Stopped in the middle: the claim file and its record stay for the next run.
  if (stop_ == Stop::kRequested) {
    stop_ = Stop::kReached;
    return;
  }
  retry_delay_.Configure(settings.retry_after);
  if (retry_round_ && delivered_ == delivered_before) retry_delay_.NothingDelivered();
  Guarded([&] { file->Close(); });
  RemoveClaim(claim_file, progress);
  Guarded([&] { scan_timer_->Restart(std::chrono::milliseconds(settings.scan_interval_ms)); });
  // The memory a large line took goes back to the system: a relay left alone for months returns
  // to its idle size.
  if (longest >= kLargeLine) Guarded([&] { platform_.process.ReturnFreeMemory(); });
  Guarded([&] { TellStatus(scan_file, settings); });
}

bool Relay::OpenAtRecord(const std::string& claim_file, ClaimProgress& progress,
                         std::unique_ptr<ReadableFile>& file, std::optional<LineReader>& lines) {
  file = OpenClaimFile(claim_file);
  if (!file) return false;
  lines.emplace(*file);
  if (progress.Recorded() == 0) return true;
  try {
    while (progress.Counted() < progress.Recorded() && !lines->AtEnd()) {
      progress.Count(lines->ReadLine());
    }
  } catch (const std::exception&) {
    // Fewer messages than recorded: the record does not match.
  }
  if (progress.AsRecorded()) {
    log_.WriteLog("Corbelwynford goes on with " + claim_file + " after the " +
                  std::to_string(progress.Recorded()) + " messages done before");
    return true;
  }
  log_.WriteLog("Corbelwynford sends " + claim_file +
                " from its first line: " + progress.RecordPath() + " does not match it");
  lines.reset();
  Guarded([&] { progress.Restart(); });
  file = OpenClaimFile(claim_file);
  if (!file) return false;
  lines.emplace(*file);
  return true;
}

// The record goes first: one that outlived its claim file could make a later one skip messages.
// A record that cannot be deleted keeps the claim file, which then has nothing left to send.
void Relay::RemoveClaim(const std::string& claim_file, ClaimProgress& progress) {
  if (!progress.Remove()) {
    left_alone_.Say(
        progress.RecordPath(), "undeletable",
        "Corbelwynford keeps " + claim_file + ": " + progress.RecordPath() + " cannot be deleted");
    return;
  }
  left_alone_.Forget(progress.RecordPath());
  Guarded([&] { platform_.files.Delete(claim_file); });
}

bool Relay::ClaimIncoming(const std::string& scan_file, const std::string& claim_file) {
  FileSystem& files = platform_.files;
  incoming_waits_ = files.Exists(scan_file);
  if (!incoming_waits_) {
    left_alone_.Forget(scan_file);
    return false;
  }
  try {
    // While a feed writes, the next tick or watch event tries again.
    if (!files.Claim(scan_file, claim_file)) return false;
  } catch (const std::exception& error) {
    left_alone_.Say(
        scan_file, error.what(),
        "Corbelwynford cannot claim " + scan_file + " (" + error.what() + "); it is left alone");
    return false;
  }
  left_alone_.Forget(scan_file);
  return true;
}

std::unique_ptr<ReadableFile> Relay::OpenClaimFile(const std::string& claim_file) {
  try {
    std::unique_ptr<ReadableFile> file = platform_.files.OpenForReading(claim_file);
    left_alone_.Forget(claim_file);
    return file;
  } catch (const std::exception& error) {
    left_alone_.Say(
        claim_file, error.what(),
        "Corbelwynford cannot read " + claim_file + " (" + error.what() + "); it is left alone");
    return nullptr;
  }
}

bool Relay::ClaimForRetry(const std::string& scan_file, const std::string& claim_file) {
  const int32_t retry_after = ReadRetryAfter(settings_);
  if (retry_after <= 0) return false;
  FileSystem& files = platform_.files;
  std::string name, failed_file;
  std::optional<FileFacts> kept;
  Guarded([&] { name = settings_.GetIniString("General", "FailedFile", ""); });
  if (name.empty()) {
    if (!std::exchange(retry_without_failed_file_logged_, true)) {
      log_.WriteLog("Corbelwynford sends nothing again on its own: RetryAfter needs a FailedFile");
    }
    return false;
  }
  Guarded([&] {
    kept = files.Facts(ResolveFromProgramFolder(files, program_folder_, name), Link::kItself);
    // The five identities that FailedFile compares cost a dozen system calls: resolved again only
    // when what they rest on has changed since the last idle tick.
    auto resolved_for = std::tuple(name, scan_file, incoming_waits_, kept);
    if (!idle_failed_file_ || idle_failed_for_ != resolved_for) {
      idle_failed_file_ = FailedFile(name, scan_file, claim_file);
      idle_failed_for_ = std::move(resolved_for);
    }
    failed_file = *idle_failed_file_;
  });
  if (failed_file.empty()) return false;  // a FailedFile not the relay's own has said so already
  retry_delay_.Configure(retry_after);
  Guarded([&] { TellStatus(scan_file, failed_file, kept, true); });
  // New messages go first: an incoming file that a feed is writing into waits for its claim.
  if (!kept || (kept->kind == FileKind::kRegular && kept->size == 0) || incoming_waits_ ||
      platform_.clock.Now() < kept->ModifiedSeconds() + retry_delay_.Seconds())
    return false;
  const std::pair<std::string, FileFacts> attempt{failed_file, *kept};
  if (unclaimable_ == attempt) return false;
  try {
    if (!files.Claim(failed_file, claim_file)) return false;
  } catch (const std::exception& error) {
    unclaimable_ = attempt;
    log_.WriteLog("Corbelwynford cannot send " + failed_file + " again (" + error.what() +
                  "); it is left alone");
    return false;
  }
  log_.WriteLog("Corbelwynford sends the messages kept in " + failed_file + " again, from " +
                claim_file);
  return true;
}

void Relay::TellStatus(const std::string& scan_file, const RelaySettings& settings) {
  std::optional<FileFacts> facts;
  if (!settings.failed_file.empty()) {
    facts = platform_.files.Facts(settings.failed_file, Link::kItself);
  }
  TellStatus(scan_file, settings.failed_file, facts, settings.retry_after > 0);
}

void Relay::TellStatus(const std::string& scan_file, const std::string& failed_file,
                       const std::optional<FileFacts>& facts, bool retry_on) {
  const std::string claim_file = scan_file + ".$$$";
  std::string line = !cycle_running_ ? "Waiting for " + scan_file
                     : retry_round_
                         ? "Sending again what " + failed_file + " kept, from " + claim_file
                         : "Sending " + claim_file;
  line += "; " + std::to_string(delivered_) + " delivered, " + std::to_string(failed_) +
          " failed since start";
  if (!failed_file.empty()) {
    const uint64_t kept = facts ? KeptMessages(failed_file, *facts) : 0;
    line +=
        "; " + (kept > 0 ? std::to_string(kept) : std::string("none")) + " kept in " + failed_file;
    if (kept > 0 && retry_on) line += WhenSentAgain(failed_file, *facts);
  }
  if (line == status_) return;
  status_ = line;
  platform_.service.SetStatus(line);
}

// Never a time that has passed: a retry that is due waits for new messages to go first, or for a
// file that cannot be claimed to change.
std::string Relay::WhenSentAgain(const std::string& failed_file, const FileFacts& facts) {
  if (unclaimable_ && *unclaimable_ == std::pair(failed_file, facts)) {
    return ", which cannot be sent again (see the log)";
  }
  const int64_t due = facts.ModifiedSeconds() + retry_delay_.Seconds();
  if (due > platform_.clock.Now())
    return ", to be sent again at " + platform_.clock.LongTimeTextAt(due);
  return ", to be sent again once nothing new waits";
}

// Counted again only when the file has changed: the status is told after every file and, with
// RetryAfter, at every idle tick.
uint64_t Relay::KeptMessages(const std::string& failed_file, const FileFacts& facts) {
  if (counted_ && counted_->first == failed_file && counted_->second == facts) return kept_;
  uint64_t lines = 0;
  try {
    const std::unique_ptr<ReadableFile> file = platform_.files.OpenForReading(failed_file);
    LineReader reader(*file);
    while (!reader.AtEnd()) {
      reader.ReadLine();
      ++lines;
    }
  } catch (const std::exception&) {
    lines = 0;  // nothing the relay may read: nothing it keeps (its claim says why)
  }
  counted_.emplace(failed_file, facts);
  kept_ = lines;
  return lines;
}

// Watches the scan file's folder while WatchFile is on (any value but empty or "0"). A folder
// that cannot be watched is logged once; the scan timer does the work meanwhile.
void Relay::FollowScanFile(const std::string& scan_file, const std::string& watch_setting) {
  FolderWatch& watch = platform_.watch;
  if (watch_setting.empty() || watch_setting == "0" || scan_file.empty()) {
    watch.StopWatching();
    return;
  }
  // Windows takes "/" as well as its own separator; on Linux the two are the same.
  const char separators[] = {platform_.files.PathSeparator(), '/', '\0'};
  const size_t cut = scan_file.find_last_of(separators);
  if (cut == std::string::npos) return;  // always in a folder: program_folder_ ends in one
  const std::string folder = scan_file.substr(0, cut + 1);
  try {
    watch.Watch(folder, scan_file.substr(cut + 1));
    unwatchable_folder_.clear();
  } catch (const std::exception& error) {
    if (unwatchable_folder_ == folder) return;
    unwatchable_folder_ = folder;
    log_.WriteLog("Corbelwynford cannot watch " + folder + ": " + error.what() +
                  "; scanning every ScanInterval");
  }
}

// The file FailedFile names, or empty for none. It is only ever a file of the relay's own: a
// failed message kept in the incoming file or its claim file would come back every cycle, and a
// retry would send and delete the settings file or the program. Such a value, however spelled or
// linked, is named once in the log.
std::string Relay::FailedFile(const std::string& name, const std::string& scan_file,
                              const std::string& claim_file) {
  if (name.empty()) return {};
  const FileSystem& files = platform_.files;
  const std::string path = ResolveFromProgramFolder(files, program_folder_, name);
  const std::string identity = files.FileIdentity(path);
  const std::pair<const std::string&, const char*> taken[] = {
      {scan_file, "the incoming file"},
      {claim_file, "the incoming file's claim file"},
      {settings_.Path(), "the settings file"},
      {executable_file_, "the program itself"}};
  for (const auto& [other, what] : taken) {
    if (identity != files.FileIdentity(other)) continue;
    left_alone_.Say("FailedFile", path,
                    "Corbelwynford keeps no failed message in " + path + ": it is " + what +
                        ", and FailedFile must name a file of its own");
    return {};
  }
  left_alone_.Forget("FailedFile");
  return path;
}

size_t Relay::SendClaimFile(LineReader& lines, ClaimProgress& progress,
                            const std::string& scan_file, const std::string& claim_file,
                            const RelaySettings& settings) {
  size_t longest = 0;
  cycle_running_ = true;
  while (stop_ == Stop::kNone) {
    std::string line;
    // A line that cannot be read ends the loop: repeating the previous message for as long as the
    // read keeps failing would post it without end.
    try {
      if (lines.AtEnd()) break;
      line = lines.ReadLine();
    } catch (const std::exception&) {
      log_.WriteLog("Corbelwynford could not read " + claim_file + ", the rest of it was not sent");
      break;
    }
    if (lines.WholeFileWithoutCarriageReturn() && line.find('\n') != std::string::npos) {
      log_.WriteLog("Corbelwynford sends " + claim_file +
                    " as one message: it holds line feeds but no carriage return, and each "
                    "message must end in CR LF");
    }
    longest = std::max(longest, line.size());
    progress.Count(line);
    // A stop that comes before the message is sent leaves it to the next run.
    if (!SendMessage(std::move(line), settings)) break;
    RecordProgress(progress);
    Guarded([&] { TellStatus(scan_file, settings); });
    // Every message ends with its outcome entry, whatever failed in it: only a pause that fails
    // ends the loop early.
    if (stop_ != Stop::kNone || !Guarded([&] { platform_.loop.RunFor(std::chrono::seconds(1)); }))
      break;
  }
  cycle_running_ = false;
  return longest;
}

// Without the record, a stop or a crash sends the claim file again from its first line: said
// once, and the messages go on.
void Relay::RecordProgress(ClaimProgress& progress) {
  try {
    progress.Record();
    left_alone_.Forget(progress.RecordPath());
  } catch (const std::exception& error) {
    left_alone_.Say(progress.RecordPath(), error.what(),
                    "Corbelwynford cannot record how far it got (" + std::string(error.what()) +
                        "); after a stop or a crash its messages go again from the first");
  }
}

bool Relay::SendMessage(std::string line, const RelaySettings& s) {
  std::string body;
  {
    // The line itself is kept only for the failed-message file.
    std::string text = s.failed_file.empty() ? std::move(line) : line;
    if (s.to_dos) Guarded([&] { text = ConvISOtoDOS(text); });
    if (s.to_ia5) Guarded([&] { text = ConvISOtoIA5(text); });
    if (s.to_utf8) Guarded([&] { text = ConvISOtoUTF8(text); });
    if (s.to_html) Guarded([&] { text = ConvISOtoHTML(text); });
    Guarded([&] { RemoveBrackets(text); });
    if (s.escape != TemplateEscape::kNone)
      Guarded([&] { text = EscapeForTemplate(text, s.escape); });
    Guarded([&] { body = FillBodyTemplate(s.body_template, text); });
  }
  HttpTransfer& http = platform_.http;
  EventLoop& loop = platform_.loop;
  in_flight_ = true;
  Guarded([&] { AbandonAnyPost(http, loop, s.wait_seconds); });
  if (stop_ != Stop::kNone) {
    in_flight_ = false;
    return false;
  }
  if (s.default_scheme) default_scheme_ = *s.default_scheme;
  Guarded([&] { log_.WriteTrafficLog(true, body); });
  std::string send_error;
  try {
    http.Post({s.url, default_scheme_, std::move(body), s.headers,
               RequestTimeoutSeconds(s.wait_seconds)});
  } catch (const std::exception& error) {
    send_error = error.what();
  }
  HttpOutcome outcome;
  Guarded([&] { outcome = AwaitAnswer(http, loop, s.wait_seconds); });
  LogOutcome(outcome, send_error, line, s);
  in_flight_ = false;
  return true;
}

// An answered request shows its answer whatever its status; only a 2xx status is a success, so
// an error page from the server is not reported as a delivered message.
void Relay::LogOutcome(const HttpOutcome& outcome, const std::string& send_error,
                       const std::string& line, const RelaySettings& s) {
  bool delivered = false;
  if (outcome.state == HttpOutcome::State::kAnswered) {
    Guarded([&] { log_.WriteTrafficLog(false, outcome.answer); });
    delivered = outcome.status >= 200 && outcome.status <= 299;
  }
  if (delivered) {
    ++delivered_;
    retry_delay_.Delivered();
  } else if (!retry_round_) {
    ++failed_;  // a message counts as failed once, on its first send
  }
  if (!delivered) {
    log_.WriteLog(FailureReason(outcome, send_error, s.wait_seconds));
    if (!s.failed_file.empty()) KeepFailed(s.failed_file, line);
  }
  log_.WriteLog(delivered ? "Sending completed successfully" : "Sending failed");
}

void Relay::KeepFailed(const std::string& failed_file, const std::string& line) {
  FileSystem& files = platform_.files;
  try {
    const std::optional<FileFacts> before = files.Facts(failed_file, Link::kItself);
    if (files.AppendLine(failed_file, line)) {
      log_.WriteLog("Corbelwynford ended " + failed_file +
                    " with CR LF before keeping a failed message");
    }
    // The count the status line shows follows the append, without reading the file again.
    if (counted_ && counted_->first == failed_file && before && counted_->second == *before) {
      ++kept_;
      counted_->second = files.Facts(failed_file, Link::kItself).value_or(FileFacts{});
    }
  } catch (const std::exception& error) {
    log_.WriteLog("Corbelwynford could not keep the failed message in " + failed_file + ": " +
                  error.what());
  }
}

}  // namespace cw
