#include "platform/posix/service_store.h"

#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "platform/posix/posix_files.h"
#include "settings/profile_format.h"

namespace cw {

std::string ServiceStore::Read(const std::string& section, const std::string& key,
                               const std::string& default_value) const {
  std::ifstream in(path_, std::ios::binary);
  return ReadProfileValue(in, section, key, default_value);
}

void ServiceStore::Save(const std::string& section, const std::string& key,
                        const std::string& value) {
  const std::string text = "[" + section + "]\n" + key + "=" + value + "\n";
  // The reader is the judge of what can be stored: a setting it would read back otherwise is
  // refused rather than written wrong.
  std::istringstream written(text);
  if (ReadProfileValue(written, section, key, "\n") != value) {
    throw RelayError("Cannot store the setting [" + section + "] " + key);
  }
  WriteFileAtomically(path_, text, 0644);
}

}  // namespace cw
