#pragma once
// The remaining fakes and one bundle of all of them, wired like the real program's platform.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_event_loop.h"
#include "tests/fakes/fake_transfer.h"
#include "tests/fakes/fake_window.h"

namespace cw::testing {

// The service switches run against the real hosts; this one only keeps the mode flag and counts.
class FakeServiceHost : public ServiceHost {
 public:
  std::string ReadSetting(const std::string& s, const std::string& k,
                          const std::string& def) override {
    auto it = store.find(s + "/" + k);
    return it == store.end() ? def : it->second;
  }
  void SaveSetting(const std::string& s, const std::string& k, const std::string& v) override {
    store[s + "/" + k] = v;
  }
  bool Install() override { return ++registrations > 0; }
  bool Uninstall() override { return ++registrations > 0; }
  std::string DisplayName() const override { return "Corbelwynford"; }
  void SetInteractive(bool) override {}
  void SetControlsAccepted(int32_t) override {}
  void Start() override { ++starts; }
  void LogEvent(int16_t type, int32_t id, const std::string& text) override {
    events.push_back(std::to_string(type) + " " + std::to_string(id) + " " + text);
  }

  std::map<std::string, std::string> store;
  std::vector<std::string> events;
  int registrations = 0;
  int starts = 0;
};

// Files held in memory. A path present in `folders` behaves like a directory.
class FakeFileSystem : public FileSystem {
 public:
  class File : public ReadableFile {
   public:
    File(FakeFileSystem& fs, std::string data) : fs_(fs), data_(std::move(data)) {}
    size_t Read(char* buffer, size_t size) override {
      if (fs_.fail_read_at >= 0 && static_cast<long>(at_) >= fs_.fail_read_at)
        throw RelayError("read failed");
      size_t n = std::min(size, data_.size() - at_);
      // Small reads on purpose: line ends and lookahead must work across block boundaries.
      n = std::min<size_t>(n, fs_.read_block);
      std::copy_n(data_.data() + at_, n, buffer);
      at_ += n;
      return n;
    }
    void Close() override { ++fs_.closes; }

   private:
    FakeFileSystem& fs_;
    std::string data_;
    size_t at_ = 0;
  };

  char PathSeparator() const override { return '/'; }
  bool IsAbsolutePath(const std::string& path) const override {
    return !path.empty() && path.front() == '/';
  }
  void RenameNoReplace(const std::string& from, const std::string& to) override {
    if (!files.count(from) || files.count(to) || fail_rename) throw RelayError("rename failed");
    files[to] = std::move(files[from]);
    files.erase(from);
  }
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) throw RelayError("no such file");
    ++opens;
    return std::make_unique<File>(*this, it->second);
  }
  bool Exists(const std::string& path) override { return files.count(path) > 0; }
  void Delete(const std::string& path) override {
    if (fail_delete || !files.erase(path)) throw RelayError("delete failed");
  }
  void AppendLine(const std::string& path, const std::string& line) override {
    if (fail_append) throw RelayError("disk full");
    files[path] += line + "\r\n";
  }

  std::map<std::string, std::string> files;
  bool fail_rename = false;
  bool fail_delete = false;
  bool fail_append = false;
  long fail_read_at = -1;
  size_t read_block = 7;
  int opens = 0;
  int closes = 0;
};

// Profile values by "path|section|key", exact names (the reading rules are tested elsewhere).
class FakeProfileReader : public ProfileReader {
 public:
  std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                      const std::string& def, const std::string& path) override {
    reads.push_back(section + "/" + key);
    auto it = values.find(path + "|" + section + "|" + key);
    return it == values.end() ? def : it->second.substr(0, 2047);
  }
  std::map<std::string, std::string> values;
  std::vector<std::string> reads;
};

// Ending the process unwinds the test instead: Exit throws ProcessExit.
struct ProcessExit {
  int status;
};

class FakeProcess : public Process {
 public:
  std::string ExecutableDirectory() override { return directory; }
  bool AnotherInstanceRunning() override { return another_instance; }
  std::string CommandLine() override { return command_line; }
  [[noreturn]] void Exit(int status) override { throw ProcessExit{status}; }

  std::string directory = "/opt/corbelwynford";
  bool another_instance = false;
  std::string command_line;
};

// Records what is watched; watching fails while fail_watch holds a reason.
class FakeFolderWatch : public FolderWatch {
 public:
  void Watch(const std::string& folder, const std::string& name) override {
    if (!fail_watch.empty()) throw RelayError(fail_watch);
    watched = folder + "|" + name;
  }
  void StopWatching() override { watched.clear(); }
  std::string watched;
  std::string fail_watch;
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
};

}  // namespace cw::testing
