#pragma once
// How far a claim file has been worked through, in a record beside it ("<claim file>.progress").
// After each message whose outcome is final (delivered, or failed, logged and kept) one line
// "<messages done> <hash of those messages> <the claim file's identity>" is appended and flushed
// to the disk. A run that ends in the middle of a claim file (a stop, a crash, an upgrade) goes on
// with the next message instead of posting the claim file again from its first line, so a kill
// sends again at most the message that was in flight. A record counts only for the claim file it
// was written for, and only when the messages before the point it names are the ones it hashed: a
// claim file without a record (an older version's, one written by hand), or whose record does not
// match, is worked through from its first line.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace cw {

class ClaimProgress {
 public:
  // Reads the record beside claim_file; one that cannot be read counts as none.
  ClaimProgress(FileSystem& files, const std::string& claim_file);

  const std::string& RecordPath() const { return path_; }
  // The messages that the record says are done; 0 without a record that counts.
  uint64_t Recorded() const { return recorded_; }
  uint64_t Counted() const { return counted_; }
  // The next message: one read past on the way to the recorded point, or one about to be sent.
  void Count(std::string_view message);
  // True when the messages counted are those the record was written for.
  bool AsRecorded() const { return counted_ == recorded_ && hash_ == recorded_hash_; }
  // From the first message again: the record is removed (a failure to remove it is thrown).
  void Restart();
  // The messages counted so far are done: the line that says so is on the disk when this
  // returns, or RelayError is thrown.
  void Record();
  // Removes the record, which must go before its claim file does: a record must never outlive
  // the file it counts. False when it is still there.
  bool Remove();

 private:
  void Read();

  FileSystem& files_;
  const std::string path_;
  const std::string identity_;  // of the claim file
  uint64_t recorded_ = 0, recorded_hash_ = 0;
  uint64_t counted_ = 0, hash_;
};

}  // namespace cw
