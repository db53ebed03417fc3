#pragma once
#include <exception>
#include <string>

#include "platform/files.h"

namespace cw {

// Reads an incoming-message file one line at a time, holding one block and the current line,
// never the whole file. A line ends at a carriage return, and a line feed right after it belongs
// to that line end; a line feed anywhere else is an ordinary byte of the message (a multi-line
// SMS). The last line needs no line end, and a line end at the very end of the file adds no
// empty line. Every byte 0 to 255 passes. Read failures of the file are thrown. The end of the
// file is never taken for granted: a writer that kept the file open across its claim may still
// append to it, so AtEnd reads once more each time it is asked.
class LineReader {
 public:
  explicit LineReader(ReadableFile& file) : file_(file) {}

  // True when no line is left.
  bool AtEnd();
  // The next line without its line end. Call only when AtEnd() is false.
  std::string ReadLine();
  // True when the line just read is the file's first and ended at the end of the file rather
  // than at a carriage return: the file holds no carriage return at all.
  bool WholeFileWithoutCarriageReturn() const { return lines_read_ == 1 && !ended_at_cr_; }

 private:
  // Makes at least one unread byte available; false at the end of the file.
  bool Fill();

  ReadableFile& file_;
  std::string block_;
  size_t at_ = 0;
  size_t lines_read_ = 0;
  bool ended_at_cr_ = false;
  std::exception_ptr deferred_error_;
};

}  // namespace cw
