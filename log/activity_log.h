#pragma once
#include <string_view>

#include "platform/clock.h"
#include "platform/window.h"

namespace cw {

// Adds text to the activity log: one entry per 100 bytes of it, each with its own date and time,
// entered verbatim. Then bounds the list and selects its newest entry. Every step that fails is
// skipped and the next one runs; nothing ever leaves this function.
void WriteLog(ListBox& list, Clock& clock, std::string_view text) noexcept;

}  // namespace cw
