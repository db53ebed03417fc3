#pragma once
// What the Linux platform's tests share: a folder of a test's own, and the bytes of a file.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace cw::testing {

// A new folder in /tmp, removed with all it holds when this goes.
struct TestFolder {
  ~TestFolder() { std::filesystem::remove_all(path); }
  const std::string path = [] {
    char pattern[] = "/tmp/cw-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a folder in /tmp");
    return std::string(pattern);
  }();
};

// All bytes of the file at path; empty when there is none.
inline std::string ReadFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

}  // namespace cw::testing
