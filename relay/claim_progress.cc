#include "relay/claim_progress.h"

#include <charconv>
#include <exception>
#include <memory>

#include "relay/line_reader.h"

namespace cw {
namespace {

// FNV-1a, 64 bits: a hash of the messages in their order, each ended by the CR that no message
// holds.
constexpr uint64_t kHashStart = 14695981039346656037ull;
uint64_t Hash(uint64_t hash, std::string_view message) {
  for (const unsigned char c : message) hash = (hash ^ c) * 1099511628211ull;
  return (hash ^ '\r') * 1099511628211ull;
}

std::string Hex(uint64_t value) {
  char text[16];
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = "0123456789abcdef"[value & 15];
  return std::string(text, 16);
}

}  // namespace

ClaimProgress::ClaimProgress(FileSystem& files, const std::string& claim_file)
    : files_(files),
      path_(claim_file + ".progress"),
      identity_(files.FileIdentity(claim_file)),
      hash_(kHashStart) {
  try {
    if (files_.Exists(path_)) Read();
  } catch (const std::exception&) {
    recorded_ = 0;  // a record that cannot be read counts as none
  }
}

// The last whole line written for this claim file counts; a line a crash cut short does not.
void ClaimProgress::Read() {
  const std::unique_ptr<ReadableFile> file = files_.OpenForReading(path_);
  LineReader lines(*file);
  while (!lines.AtEnd()) {
    const std::string line = lines.ReadLine();
    const size_t space = line.find(' ');
    if (space == std::string::npos || line.size() < space + 18 || line[space + 17] != ' ' ||
        line.compare(space + 18, std::string::npos, identity_) != 0)
      continue;
    uint64_t messages = 0, hash = 0;
    const char* end = line.data() + space;
    if (std::from_chars(line.data(), end, messages).ptr != end) continue;
    end = line.data() + space + 17;
    if (std::from_chars(line.data() + space + 1, end, hash, 16).ptr != end) continue;
    recorded_ = messages;
    recorded_hash_ = hash;
  }
}

void ClaimProgress::Count(std::string_view message) {
  hash_ = Hash(hash_, message);
  ++counted_;
}

void ClaimProgress::Restart() {
  if (files_.Exists(path_)) files_.Delete(path_);
  recorded_ = recorded_hash_ = counted_ = 0;
  hash_ = kHashStart;
}

void ClaimProgress::Record() {
  files_.AppendLine(path_, std::to_string(counted_) + " " + Hex(hash_) + " " + identity_);
}

bool ClaimProgress::Remove() {
  try {
    if (files_.Exists(path_)) files_.Delete(path_);
  } catch (const std::exception&) {
  }
  return !files_.Exists(path_);
}

}  // namespace cw
