#include "platform/posix/inotify_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace cw {

void InotifyWatch::Watch(const std::string& folder, const std::string& name) {
  if (watch_ >= 0 && folder == folder_ && name == name_) return;
  StopWatching();
  if (folder.find('\0') != std::string::npos) throw RelayError("the folder holds a NUL byte");
  if (!fd_.valid()) {
    fd_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_.valid()) throw RelayError(std::strerror(errno));
  }
  // Renamed or moved into place, or written and closed; IN_ONLYDIR refuses a file's name.
  const int watch =
      inotify_add_watch(fd_.get(), folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR);
  if (watch < 0) throw RelayError(std::strerror(errno));
  watch_ = watch;
  folder_ = folder;
  name_ = name;
}

void InotifyWatch::StopWatching() {
  if (watch_ >= 0) inotify_rm_watch(fd_.get(), watch_);
  watch_ = -1;
  folder_.clear();
  name_.clear();
}

bool InotifyWatch::ReadAppeared() {
  if (!fd_.valid()) return false;
  bool appeared = false;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;  // EAGAIN: nothing more waiting
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->wd != watch_) continue;
      // The folder itself went away: the next cycle's Watch sets it up again.
      if (event->mask & IN_IGNORED) {
        watch_ = -1;
        continue;
      }
      if (event->len > 0 && name_ == event->name) appeared = true;
    }
  }
  return appeared;
}

}  // namespace cw
