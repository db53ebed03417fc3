#include "settings/profile_format.h"

#include <algorithm>
#include <array>
#include <string>

#include "base/ascii.h"

namespace cw {
namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// One name or value of a line, taken in byte by byte with its blanks at both ends dropped, holding
// at most `cap` bytes. Blanks after the kept text wait aside until a non-blank byte shows they
// are inside the field, so a field followed by any number of blanks still fits its cap. `cut`
// tells that the field goes on past the kept bytes; `last` is the field's last non-blank byte,
// kept or not, which decides a closing quote.
class Field {
 public:
  explicit Field(size_t cap) : cap_(cap) {}

  void Add(char c) {
    if (IsBlank(c)) {
      if (!text_.empty() && !cut_ && text_.size() + blanks_.size() < cap_) blanks_ += c;
      return;
    }
    last_ = c;
    if (cut_) return;
    text_ += blanks_;
    blanks_.clear();
    if (text_.size() >= cap_) {
      cut_ = true;
    } else {
      text_ += c;
    }
  }

  void Reset() {
    text_.clear();
    blanks_.clear();
    cut_ = false;
    last_ = '\0';
  }

  const std::string& text() const { return text_; }
  bool cut() const { return cut_; }
  char last() const { return last_; }

  // A cut field is longer than cap bytes, so it can only match a longer name, and names are
  // never asked for with a cap below their length.
  bool Matches(std::string_view name) const { return !cut_ && EqualsIgnoringCase(text_, name); }

 private:
  size_t cap_;
  std::string text_;
  std::string blanks_;
  bool cut_ = false;
  char last_ = '\0';
};

bool IsQuote(char c) { return c == '"' || c == '\''; }

// The value as handed out: a matching pair of quotes around it removed, then cut to size. For a
// value that was cut on reading, the closing quote is its last non-blank byte beyond the cut.
std::string FinishValue(const Field& value) {
  std::string text = value.text();
  if (!text.empty() && IsQuote(text.front())) {
    if (value.cut()) {
      if (value.last() == text.front()) text.erase(0, 1);
    } else if (text.size() >= 2 && text.back() == text.front()) {
      text = text.substr(1, text.size() - 2);
    }
  }
  if (text.size() > kMaxProfileValue) text.resize(kMaxProfileValue);
  return text;
}

// Reads the stream one line at a time without ever holding a whole line: each byte advances the
// state of the current line, and only the fields that can still matter are kept.
class ProfileScanner {
 public:
  ProfileScanner(std::string_view section, std::string_view key)
      : section_(TrimBlanks(section)),
        key_(TrimBlanks(key)),
        name_(std::max(section_.size(), key_.size())),
        // One byte more than a value may have, for an opening quote.
        value_(kMaxProfileValue + 1) {}

  // Takes the next byte. True when the answer is known and no more input is needed.
  bool Feed(char c) {
    switch (state_) {
      case State::kLineStart:
        if (IsLineEnd(c) || IsBlank(c)) return false;
        if (c == '[') {
          name_.Reset();
          state_ = State::kSectionName;
        } else if (c == ';' || !in_section_) {
          // Comments, and key lines outside the wanted section, cannot change the answer.
          state_ = State::kSkipLine;
        } else {
          name_.Reset();
          state_ = State::kKeyName;
          return Feed(c);  // the byte may be the "=" of an empty key name
        }
        return false;
      case State::kSectionName:
        if (IsLineEnd(c)) {
          // No closing bracket: not a section header, and like every other odd line it is
          // passed over without ending the current section.
          state_ = State::kLineStart;
        } else if (c == ']') {
          // Only the first section of a name counts, so leaving it settles the answer.
          if (in_section_) return true;
          in_section_ = name_.Matches(section_);
          state_ = State::kSkipLine;
        } else {
          name_.Add(c);
        }
        return false;
      case State::kKeyName:
        if (IsLineEnd(c)) {
          state_ = State::kLineStart;  // no "=": not a key line
        } else if (c == '=') {
          if (name_.Matches(key_)) {
            value_.Reset();
            state_ = State::kValue;
          } else {
            state_ = State::kSkipLine;
          }
        } else {
          name_.Add(c);
        }
        return false;
      case State::kValue:
        if (IsLineEnd(c)) return found_ = true;
        value_.Add(c);
        // Past the kept bytes only a closing quote can still change the result.
        if (value_.cut() && !IsQuote(value_.text().front())) return found_ = true;
        return false;
      case State::kSkipLine:
        if (IsLineEnd(c)) state_ = State::kLineStart;
        return false;
    }
    return false;
  }

  // The input ended without a line end: the last line still counts.
  void FinishInput() {
    if (state_ == State::kValue) found_ = true;
  }

  // The value found, or nullopt for none.
  std::optional<std::string> Result() const {
    if (!found_) return std::nullopt;
    return FinishValue(value_);
  }

 private:
  enum class State { kLineStart, kSectionName, kKeyName, kValue, kSkipLine };

  std::string_view section_;
  std::string_view key_;
  Field name_;  // a section or key name of the current line, no longer than what is asked for
  Field value_;
  State state_ = State::kLineStart;
  bool in_section_ = false;
  bool found_ = false;
};

constexpr size_t kBlockSize = 4096;
using Block = std::array<char, kBlockSize>;

// Reads the next block: how many bytes it holds, 0 at the end of the stream, nullopt when the read
// failed. A stream that throws (its exception mask set, or a stream buffer that throws) counts
// like one that reports a failure.
std::optional<size_t> ReadBlock(std::istream& in, Block& block) {
  try {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
  } catch (...) {
  }
  const size_t count = static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0));
  if (in.bad() || (count == 0 && !in.eof())) return std::nullopt;
  return count;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

// A line longer than what is kept still yields its value's first kMaxProfileValue bytes, as long
// as the value is within the line's first reads. Names are compared in full, so a NUL in a name is
// just one more byte of it.
std::optional<std::string> FindProfileValue(std::istream& in, std::string_view section,
                                            std::string_view key) {
  if (!in) return std::nullopt;
  ProfileScanner scanner(section, key);
  Block block;
  bool first_block = true;
  for (;;) {
    const std::optional<size_t> count = ReadBlock(in, block);
    // A read that failed can have cut the value short, so nothing of it is handed out.
    if (!count) return std::nullopt;
    if (*count == 0) break;
    std::string_view data(block.data(), *count);
    // A file that stops within the byte-order mark cannot hold a key, so a mark split over two
    // reads needs no care; a block is only short at the end of the stream.
    if (first_block && data.starts_with(kUtf8Bom)) data.remove_prefix(kUtf8Bom.size());
    first_block = false;
    for (const char c : data) {
      if (scanner.Feed(c)) return scanner.Result();
    }
    if (in.eof()) break;
  }
  scanner.FinishInput();
  return scanner.Result();
}

std::string ReadProfileValue(std::istream& in, std::string_view section, std::string_view key,
                             std::string_view default_value) {
  return FindProfileValue(in, section, key).value_or(std::string(default_value));
}

}  // namespace cw
