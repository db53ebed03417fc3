#include "platform/file_policy.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/errors.h"
#include "platform/file_rules.h"

namespace cw {
namespace {

// Appends text and then end to the file, all or nothing, after a CR LF when its last line has no
// line end, so that what it held and what is added stay lines of their own; true when that CR LF
// was needed. An append that fails is cut back, so the file holds what it held before.
bool AppendOnALineOfItsOwn(AppendableFile& file, std::string_view text, std::string_view end) {
  const uint64_t length = file.Size();
  char tail[2];
  const uint64_t from = length < 2 ? 0 : length - 2;
  const size_t got = length == 0 ? 0 : file.ReadAt(from, tail, length - from);
  const std::string_view line_end = EndsInLineEnd(std::string_view(tail, got)) ? "" : "\r\n";
  try {
    for (const std::string_view piece : {line_end, text, end}) file.Append(piece);
    file.Sync();
  } catch (const RelayError&) {
    file.CutBackTo(length);
    throw;
  }
  return !line_end.empty();
}

}  // namespace

bool SystemFileSystem::AppendLine(const std::string& path, const std::string& line) {
  return AppendOnALineOfItsOwn(*OpenToAppend(path, false), line, "\r\n");
}

void SystemFileSystem::AppendForRelay(const std::string& path, std::string_view record,
                                      int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  int pause_ms = 1;
  auto wait_a_little = [&] {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw RelayError(path + " stayed locked by the relay or another feed for " +
                       std::to_string(wait_ms / 1000) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 20);
  };
  for (;;) {
    const std::unique_ptr<AppendableFile> file = OpenToAppend(path, true);
    while (file && !file->TryLock()) wait_a_little();
    // A claim may have renamed the file while we waited for the lock: then a new one is due.
    if (file && file->StillAtPath()) {
      AppendOnALineOfItsOwn(*file, record, "");
      return;
    }
    wait_a_little();
  }
}

std::string SystemFileSystem::FileIdentity(const std::string& path) const {
  if (const std::optional<FileFacts> facts = Facts(path, Link::kFollowed)) {
    return "file " + std::to_string(facts->device) + ":" + std::to_string(facts->inode);
  }
  return "path " + ResolvedPath(path);
}

}  // namespace cw
