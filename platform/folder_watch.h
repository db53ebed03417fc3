#pragma once
// Watching the incoming file's folder, so that a new file is claimed when it appears rather than
// at the next tick of the scan timer. The event loop waits on the watch with everything else;
// when the file appears (renamed or moved into the folder, or closed after writing) the loop
// makes the scan timer due at once, as if its interval had run out. The timer stays the
// fallback for whatever the watch misses.
#include <string>

namespace cw {

class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
  // From now on watches folder for a file called name, instead of what was watched before;
  // watching what is already watched costs nothing. Throws RelayError with the reason when the
  // folder cannot be watched (it does not exist, say); nothing is watched then.
  virtual void Watch(const std::string& folder, const std::string& name) = 0;
  // Watches nothing.
  virtual void StopWatching() = 0;
};

}  // namespace cw
