#pragma once
// The record a feed appends to the incoming file: one message, whatever its source, as one line
// in the character set the relay's conversions expect (or UTF-8, for a receiver that wants it).
#include <optional>
#include <string>
#include <string_view>

namespace cw {

// A message's text as Unicode code points.
using MessageText = std::u32string;

// The bytes read as UTF-8. A byte that does not begin a valid UTF-8 sequence (a stray
// continuation byte, a cut or overlong sequence, an encoded surrogate) is read as the Latin-1
// character of the same value, so text in Latin-1, or in a mix of both, loses no byte.
MessageText DecodeUtf8(std::string_view bytes);
// ISO 8859-15 (Latin-9): Latin-1 with the euro sign and seven letters in eight places.
MessageText DecodeLatin9(std::string_view bytes);
// The GSM 03.38 default alphabet, one byte a character (as smstools writes "Alphabet: GSM" with
// cs_convert = no), its extension table reached by the escape 0x1B. A byte above 127 is U+FFFD.
MessageText DecodeGsm7(std::string_view bytes);
// UCS-2 / UTF-16, big-endian. A surrogate without its pair becomes U+FFFD; an odd last byte is
// left out.
MessageText DecodeUtf16BigEndian(std::string_view bytes);

enum class FeedCharset { kLatin1, kUtf8 };
// The FeedCharset setting: empty (absent) or "ISO-8859-1" is Latin-1, "UTF-8" is UTF-8, in any
// letter case; nullopt for any other text.
std::optional<FeedCharset> FeedCharsetFromSetting(std::string_view setting);

// text as one record of the incoming file: every CR LF and every lone CR becomes a LF, so that the
// message stays one line; then the text in charset, ended by CR LF. In Latin-1 a character it
// lacks becomes a plain substitute where one is obvious (typographic quotes and dashes, the
// ellipsis as "...", the euro sign as "EUR", the Latin-9 letters without their accents), and "?"
// otherwise.
std::string FeedRecord(const MessageText& text, FeedCharset charset);

}  // namespace cw
