#pragma once
// The four optional conversions of an outgoing message line. Each is a pure function from bytes to
// bytes: it reads its input, never changes it, keeps no state, and accepts any input of any length
// (NUL and every byte 0 to 255 included), also the output of another conversion.
#include <string>
#include <string_view>

namespace cw {

// The Scandinavian letters, the degree sign and the superscript three to their code page 850
// codes; every other byte above "~" becomes "~". Length unchanged.
std::string ConvISOtoDOS(std::string_view text);
// 31 characters to their positions in the GSM 03.38 default alphabet, the backslash to a line
// feed; whatever is still above 127 becomes "*". Length unchanged.
std::string ConvISOtoIA5(std::string_view text);
// Every byte of 128 to 255 to its two-byte UTF-8 sequence (the byte read as a Latin-1 code point).
std::string ConvISOtoUTF8(std::string_view text);
// Percent-encoding (uppercase hex) of every byte outside 48 to 126.
std::string ConvISOtoHTML(std::string_view text);

}  // namespace cw
