#pragma once
// In-memory fakes of the platform for the core's tests, bundled like the real program's platform.
// The event loop runs on virtual time: Sleep advances it, ProcessPendingEvents runs what is due,
// so a transfer ending or a close arriving inside a pause happens at a chosen moment.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "platform/file_rules.h"
#include "platform/list_model.h"
#include "platform/platform.h"

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

// The shared list model, keeping the longest it ever grew.
struct FakeList : ListModel {
  void WillAdd(const std::string&) override { peak = std::max(peak, ListCount() + 1); }
  bool KeepsWholeEntries() const override { return whole; }
  int peak = 0;
  bool whole = false;  // entries go out as lines
};

struct FakeWindow : MainWindow {
  ListBox& List() override { return list; }
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& c) override { caption = c; }
  void Hide() override { hidden = true; }
  int ClientWidth() const override { return 80; }
  int ClientHeight() const override { return 24; }
  int StatusBarHeight() const override { return 1; }
  void ShowMessageBox(const std::string& text, MessageBoxStyle) override { boxes.push_back(text); }

  FakeList list;
  std::string caption = kProgramTitle;  // as the real windows start
  bool hidden = false;
  std::vector<std::string> boxes;
};

struct FakeEventLoop : EventLoop {
  struct Timer {
    int32_t interval;
    bool enabled;
    int64_t due;
  };
  void SetTimerInterval(TimerId id, int32_t ms) override {
    timers[id].interval = ms;
    timers[id].due = now + ms;
  }
  void SetTimerEnabled(TimerId id, bool enabled) override {
    Timer& t = timers[id];
    if (enabled && !t.enabled) t.due = now + t.interval;
    t.enabled = enabled;
  }
  void ProcessPendingEvents() override {
    while (!scheduled.empty() && scheduled.begin()->first <= now) {
      scheduled.extract(scheduled.begin()).mapped()();
    }
    for (auto& [id, t] : timers) {
      if (t.enabled && t.interval > 0 && t.due <= now && on_timer) {
        t.due = now + t.interval;
        on_timer(id);
      }
    }
  }
  void Sleep(int ms) override { now += ms; }
  void At(int64_t time, std::function<void()> event) { scheduled.emplace(time, std::move(event)); }

  std::function<void(TimerId)> on_timer;  // where the ticks go
  std::map<TimerId, Timer> timers{{TimerId::kSystem, {100, true, 100}},
                                  {TimerId::kFileScan, {1000, true, 1000}}};
  std::multimap<int64_t, std::function<void()>> scheduled;
  int64_t now = 0;
};

// Every request is answered 200 "OK" 100 virtual ms after it starts.
struct FakeTransfer : TransferControl {
  explicit FakeTransfer(FakeEventLoop& loop) : loop(loop) {}
  void SetProtocol(int32_t) override {}
  void SetRequestTimeout(int32_t) override {}
  void Execute(const std::string&, std::string data, const std::string&) override {
    outcome = {};
    if (fail_execute) throw RelayError("cannot start");
    bodies.push_back(std::move(data));
    executing = true;
    loop.At(loop.now + 100, [this, id = bodies.size()] {
      if (id != bodies.size() || !executing) return;  // cancelled or superseded
      executing = false;
      outcome = {TransferOutcome::State::kCompleted, 200, "OK", {}};
    });
  }
  bool StillExecuting() const override { return executing; }
  void Cancel() override { executing = false; }
  const TransferOutcome& Outcome() const override { return outcome; }

  FakeEventLoop& loop;
  std::vector<std::string> bodies;
  bool fail_execute = false, executing = false;
  TransferOutcome outcome;
};

// Keeps the mode flag, started once in service mode; it never installs.
struct FakeServiceHost : ServiceHost {
  std::string ReadSetting(const std::string&, const std::string&, const std::string& def) override {
    return flag.value_or(def);
  }
  void SaveSetting(const std::string&, const std::string&, const std::string& v) override {
    flag = v;
  }
  bool Install() override { return false; }
  bool Uninstall() override { return false; }
  std::string DisplayName() const override { return "Corbelwynford"; }
  void SetInteractive(bool) override {}
  void SetControlsAccepted(int32_t) override {}
  void Start() override { ++starts; }
  void LogEvent(int16_t type, int32_t id, const std::string& text) override {
    events.push_back(std::to_string(type) + " " + std::to_string(id) + " " + text);
  }
  void SetStatus(const std::string& line) override { status = line; }

  std::optional<std::string> flag;
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
  void RequireReadableIfPresent(const std::string& path) const override {
    if (unreadable.count(path)) throw RelayError("cannot read " + path);
  }
  // Paths name files exactly, but for "/./" in them.
  std::string FileIdentity(const std::string& path) const override {
    ++identities;
    std::string identity = path;
    for (size_t at; (at = identity.find("/./")) != std::string::npos;) identity.erase(at, 2);
    return identity;
  }

  std::map<std::string, std::string> files;
  std::set<std::string> unreadable;  // by RequireReadableIfPresent
  bool locked = false;               // a feed holds the incoming file
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
  FakeTransfer inet{loop};
  FakeServiceHost service;
  FakeFileSystem files;
  FakeProfileReader profile;
  FakeClock clock;
  FakeProcess process;
  FakeFolderWatch watch;
  Platform platform{window, loop, inet, service, files, profile, clock, process, watch};

  // The settings file that the program at process.directory reads.
  void SetIni(const std::string& section, const std::string& key, const std::string& value) {
    profile.values[process.directory + "/Corbelwynford.INI|" + section + "|" + key] = value;
  }
  // The log entries without their date and time.
  std::vector<std::string> Log() const {
    std::vector<std::string> out;
    for (const std::string& e : window.list.Entries()) out.push_back(e.substr(kStampSize));
    return out;
  }
};

}  // namespace cw::testing
