#pragma once
// The folder watch on inotify: one descriptor, created with the first watch, that the event loop
// adds to its one blocking wait. Idle, it costs nothing: no thread, no wake-up of its own.
#include <string>

#include "platform/folder_watch.h"
#include "platform/posix/unique_fd.h"

namespace cw {

class InotifyWatch final : public FolderWatch {
 public:
  void Watch(const std::string& folder, const std::string& name) override;
  void StopWatching() override;

  // For the event loop: the descriptor to wait on (-1 before the first watch), and the reading of
  // what is waiting there: true when the watched file has appeared since the last call.
  int Descriptor() const { return fd_.get(); }
  bool ReadAppeared();

 private:
  UniqueFd fd_;
  int watch_ = -1;  // the folder's watch on fd_, -1 when none
  std::string folder_;
  std::string name_;
};

}  // namespace cw
