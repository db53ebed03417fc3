#include "platform/kept_profile.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "settings/profile_format.h"

namespace cw {

std::string KeptProfileReader::GetPrivateProfileString(const std::string& section,
                                                       const std::string& key,
                                                       const std::string& default_value,
                                                       const std::string& path) {
  // Files beyond this size are read afresh each time rather than kept in memory.
  constexpr uint64_t kMaxKeptBytes = 1 << 20;
  // A folder, a FIFO or a device in the settings file's place gives the defaults.
  const std::optional<FileFacts> facts = files_.Facts(path, Link::kFollowed);
  if (!facts || facts->kind != FileKind::kRegular) return default_value;
  if (facts != kept_facts_ || path != kept_path_) {
    kept_facts_.reset();
    looked_up_.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return default_value;
    if (facts->size > kMaxKeptBytes) return ReadProfileValue(in, section, key, default_value);
    contents_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return default_value;
    const int64_t read_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    if (read_ns - std::max(facts->modified_ns, facts->changed_ns) > racy_ns_) kept_facts_ = facts;
    kept_path_ = path;
  }
  auto at = std::find_if(looked_up_.begin(), looked_up_.end(), [&](const LookedUp& name) {
    return name.key == key && name.section == section;
  });
  if (at == looked_up_.end()) {
    std::istringstream in(contents_);
    at = looked_up_.insert(at, {section, key, FindProfileValue(in, section, key)});
  }
  return at->value ? *at->value : default_value;
}

}  // namespace cw
