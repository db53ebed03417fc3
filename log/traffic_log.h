#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/window.h"

namespace cw {

// Bytes 32 to 127 copied, every other byte as "<code>" in decimal: <10> for a line feed.
std::string EscapeTrafficText(std::string_view text);

// Adds text to the traffic log with the prefix " Tx: " (is_tx nonzero) or " Rx: ", cut into
// entries of 100 bytes of the escaped text, keeping the list bounded as they are added, then
// selects its newest entry.
// A failing list operation ends the call and is thrown to the caller. Any length is logged.
void WriteTrafficLog(ListBox& list, Clock& clock, int16_t is_tx, std::string_view text);

}  // namespace cw
