#pragma once
#include "platform/win32/windows_api.h"

#include <string>

#include "platform/clock.h"

namespace cw {

// FILETIME counts 100 ns from 1601; this many of them lie before 1970.
inline constexpr ULONGLONG kTicksBefore1970 = 116444736000000000ull;

// The 100 ns ticks since 1601 that time holds.
inline ULONGLONG TicksOf(const FILETIME& time) {
  return ULONGLONG{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// The user's short date, and the time in the given GetTimeFormat flags (0 is the long time,
// TIME_NOSECONDS the hours and minutes), both for the local time t.
std::string FormatShortDate(const SYSTEMTIME& t);
std::string FormatTime(const SYSTEMTIME& t, DWORD flags);

// The user's short date and long time.
class Win32Clock final : public SecondClock {
 public:
  int64_t Now() override;

 protected:
  void Format(int64_t at, std::string& date, std::string& time) override;
};

}  // namespace cw
