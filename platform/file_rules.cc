#include "platform/file_rules.h"

#include "base/errors.h"

namespace cw {

void CheckPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw RelayError("path holds a NUL byte");
}

void RequirePlainFile(const std::string& path, const FileFacts& facts) {
  switch (facts.kind) {
    case FileKind::kRegular:
      if (facts.names > 1) {
        throw RefusedFile(path, "a file of " + std::to_string(facts.names) + " names (hard links)");
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
