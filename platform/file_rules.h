#pragma once
// Rules for the files the relay and the feed share with other users (the incoming file, the claim
// file, the failed-message file), whatever system tells what a path holds. A folder others may
// write is no place to trust a name: only a regular file of a single name, reached without
// following a link, is ever opened there, as mail delivery agents open mailboxes.
#include <string>
#include <string_view>

#include "platform/files.h"

namespace cw {

// Throws RelayError for a path with a NUL byte: the system takes paths as C strings, so such a path
// names no file, not the file before the NUL.
void CheckPath(const std::string& path);

// Throws RefusedFile, saying what it is, unless facts tell of a regular file with a single name.
void RequirePlainFile(const std::string& path, const FileFacts& facts);

// True when a file whose last bytes are tail (its last two, or all of a shorter file) ends its
// last line: in a CR, or in a CR LF. An empty file ends none and needs none.
constexpr bool EndsInLineEnd(std::string_view tail) {
  return tail.empty() || tail.back() == '\r' || tail.ends_with("\r\n");
}

}  // namespace cw
