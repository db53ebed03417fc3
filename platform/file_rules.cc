#include "platform/file_rules.h"

#include "base/errors.h"

namespace cw {

void RequirePlainFile(const std::string& path, FileKind kind, uint64_t names) {
  switch (kind) {
    case FileKind::kRegular:
      if (names > 1) {
        throw RefusedFile(path, "a file of " + std::to_string(names) + " names (hard links)");
      }
      return;
    case FileKind::kSymbolicLink:
      throw RefusedFile(path, "a symbolic link");
    case FileKind::kReparsePoint:
      throw RefusedFile(path, "a link (a reparse point)");
    case FileKind::kFolder:
      throw RefusedFile(path, "a folder");
    case FileKind::kFifo:
      throw RefusedFile(path, "a FIFO");
    case FileKind::kDevice:
      throw RefusedFile(path, "a device");
    case FileKind::kSocket:
      break;
  }
  throw RefusedFile(path, "a socket");
}

}  // namespace cw
