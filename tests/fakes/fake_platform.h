#pragma once
// In-memory fakes of the platform for the core's tests, bundled like the real program's platform.
// The event loop runs the real timer table on virtual time, which jumps from one event to the
// next, so an answer or a close arriving inside a pause happens at a chosen moment.
#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "platform/file_rules.h"
#include "platform/platform.h"
#include "platform/timer_table.h"

namespace cw::testing {

// Stands at `now` (seconds), always showing the same date and time.
struct FakeClock : Clock {
  std::string ShortDateText() override { return "06/12/26"; }
  std::string LongTimeText() override { return "20:43:48"; }
  int64_t Now() override { return now; }
  std::string LongTimeTextAt(int64_t at) override { return "second " + std::to_string(at); }
  int64_t now = 1'000'000;
};
inline constexpr size_t kStampSize = sizeof "06/12/26 20:43:48 " - 1;

// Keeps a copy of the log's entries as of its last write, and the most it ever held.
struct FakeLogList : LogView {
  void ShowAdded(const std::deque<std::string>& e) override { peak = std::max(peak, e.size()); }
  void ShowDropped(int) override {}
  void ShowNewest(const std::deque<std::string>& e) override { entries = e; }
  bool KeepsWholeEntries() const override { return whole; }
  std::deque<std::string> entries;
  size_t peak = 0;
  bool whole = false;  // entries go out as lines
};

struct FakeWindow : MainWindow {
  LogView& LogList() override { return list; }
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& c) override { caption = c; }
  void Hide() override { hidden = true; }
  void ShowMessageBox(const std::string& text, MessageBoxStyle) override { boxes.push_back(text); }

  FakeLogList list;
  std::string caption = kProgramTitle;  // as the real windows start
  bool hidden = false;
  std::vector<std::string> boxes;
};

struct FakeEventLoop : TimerLoop {
  using Ms = std::chrono::milliseconds;
  FakeEventLoop() : TimerLoop([this] { return TimePoint{} + now; }, nullptr) {}
  // Virtual time jumps to what comes next: an arrival, a timer, the end of the wait.
  void Turn(int max_wait_ms) override {
    Ms next = now + Ms(timers().MillisecondsToNext(max_wait_ms));
    if (!arriving.empty()) next = std::min(next, arriving.begin()->first);
    now = std::max(now, next);
    while (!arriving.empty() && arriving.begin()->first <= now) {
      arriving.extract(arriving.begin()).mapped()();
    }
    timers().RunDue();
  }
  // What arrives from outside at virtual time `at`: an answer, a close.
  void At(Ms at, std::function<void()> event) { arriving.emplace(at, std::move(event)); }
  int NextTimerIn() { return timers().MillisecondsToNext(INT_MAX); }

  Ms now{0};
  std::multimap<Ms, std::function<void()>> arriving;
};

// Every POST is answered 200 "OK" 100 virtual ms after it starts.
struct FakeTransfer : HttpTransfer {
  explicit FakeTransfer(FakeEventLoop& loop) : loop(loop) {}
  void Post(HttpPost post) override {
    outcome = {};
    if (fail_post) throw RelayError("cannot start");
    bodies.push_back(std::move(post.body));
    schemes.push_back(post.default_scheme);
    in_flight = true;
    loop.At(loop.now + std::chrono::milliseconds(100), [this, id = bodies.size()] {
      if (id != bodies.size() || !in_flight) return;  // abandoned or superseded
      in_flight = false;
      outcome = {HttpOutcome::State::kAnswered, 200, "OK", {}};
    });
  }
  bool InFlight() const override { return in_flight; }
  void Abandon() override { in_flight = false; }
  const HttpOutcome& Outcome() const override { return outcome; }

  FakeEventLoop& loop;
  std::vector<std::string> bodies;
  std::vector<DefaultScheme> schemes;
  bool fail_post = false, in_flight = false;
  HttpOutcome outcome;
};

// Keeps the mode flag, started once in service mode; it never installs.
struct FakeServiceHost : ServiceHost {
  std::string ReadModeFlag() override { return flag; }
  void SaveModeFlag(bool service_mode) override { flag = std::string(1, service_mode ? '1' : '0'); }
  bool Install() override { return false; }
  bool Uninstall() override { return false; }
  void Start() override { ++starts; }
  void LogEvent(ServiceEvent, const std::string& text) override { events.push_back(text); }
  void SetStatus(const std::string& line) override { status = line; }

  std::string flag = "0";
  std::string status;  // the last told
  std::vector<std::string> events;
  int starts = 0;
};

// Files held in memory, read in small blocks so that line ends straddle them; each failure on
// demand.
struct FakeFileSystem : FileSystem {
  struct File : ReadableFile {
    File(FakeFileSystem& fs, std::string path) : fs(fs), path(std::move(path)) {}
    // Reads what the file holds now, so that bytes appended after its open are read too.
    size_t Read(char* buffer, size_t size) override {
      if (fs.fail_read_at >= 0 && at >= static_cast<size_t>(fs.fail_read_at))
        throw RelayError("read failed");
      const std::string_view data = fs.files.count(path) ? fs.files[path] : std::string_view();
      const size_t n = std::min({size, data.size() - at, fs.read_block});
      std::copy_n(data.data() + at, n, buffer);
      at += n;
      return n;
    }
    void Close() override {}

    FakeFileSystem& fs;
    std::string path;
    size_t at = 0;
  };

  char PathSeparator() const override { return '/'; }
  bool IsAbsolutePath(const std::string& path) const override { return path.starts_with('/'); }
  bool Claim(const std::string& from, const std::string& to) override {
    if (!files.count(from) || files.count(to)) throw RelayError("rename failed");
    if (locked) return false;
    files[to] = std::move(files.extract(from).mapped());
    return true;
  }
  void AppendForRelay(const std::string& path, std::string_view record, int) override {
    std::string& file = files[path];
    file += (EndsInLineEnd(file) ? "" : "\r\n") + std::string(record);
  }
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    if (!files.count(path)) throw RelayError("no such file");
    return std::make_unique<File>(*this, path);
  }
  // Every file was last written at `modified` (seconds).
  std::optional<FileFacts> Facts(const std::string& path, Link) const override {
    if (!files.count(path)) return std::nullopt;
    return FileFacts{.size = files.at(path).size(), .modified_ns = modified * 1'000'000'000};
  }
  void Delete(const std::string& path) override {
    if (fail_delete || !files.erase(path)) throw RelayError("delete failed");
  }
  // A file would never grow past 1 kB here: a relay that read back what it keeps stops.
  bool AppendLine(const std::string& path, const std::string& line) override {
    if (fail_append || files[path].size() + line.size() > 1024) throw RelayError("disk full");
    std::string& file = files[path];
    const bool end_last = !EndsInLineEnd(file);
    file += (end_last ? "\r\n" : "") + line + "\r\n";
    return end_last;
  }
  void RequireReadableIfPresent(const std::string&) const override {}
  // Paths name files exactly, but for "/./" in them.
  std::string FileIdentity(const std::string& path) const override {
    ++identities;
    std::string identity = path;
    for (size_t at; (at = identity.find("/./")) != std::string::npos;) identity.erase(at, 2);
    return identity;
  }

  std::map<std::string, std::string> files;
  bool locked = false;  // a feed holds the incoming file
  int64_t modified = 0;
  bool fail_delete = false, fail_append = false;
  long fail_read_at = -1;
  mutable int identities = 0;  // asked for
  size_t read_block = 7;
};

// Values by "path|section|key", names exactly as asked.
struct FakeProfileReader : ProfileReader {
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& def, const std::string& path) override {
    auto it = values.find(path + "|" + section + "|" + key);
    return it == values.end() ? def : it->second;
  }
  std::map<std::string, std::string> values;
};

// Ending the process unwinds the test instead.
struct ProcessExit {
  int status;
};

struct FakeProcess : Process {
  std::string ExecutableFile() override {
    return (directory == "/" ? "" : directory) + "/corbelwynford";
  }
  bool AnotherInstanceRunning() override { return another_instance; }
  std::string CommandLine() override { return command_line; }
  [[noreturn]] void Exit(int status) override { throw ProcessExit{status}; }
  void ReturnFreeMemory() override {}

  std::string directory = "/opt/cw";
  bool another_instance = false;
  std::string command_line;
};

struct FakeFolderWatch : FolderWatch {
  void Watch(const std::string&, const std::string&) override {}
  void StopWatching() override {}
};

struct FakePlatform {
  FakeWindow window;
  FakeEventLoop loop;
  FakeTransfer http{loop};
  FakeServiceHost service;
  FakeFileSystem files;
  FakeProfileReader profile;
  FakeClock clock;
  FakeProcess process;
  FakeFolderWatch watch;
  Platform platform{window, loop, http, service, files, profile, clock, process, watch};

  // The settings file that the program at process.directory reads.
  void SetIni(const std::string& section, const std::string& key, const std::string& value) {
    profile.values[process.directory + "/Corbelwynford.INI|" + section + "|" + key] = value;
  }
  // The log entries without their date and time.
  std::vector<std::string> Log() const {
    std::vector<std::string> out;
    for (const std::string& e : window.list.entries) out.push_back(e.substr(kStampSize));
    return out;
  }
};

}  // namespace cw::testing
