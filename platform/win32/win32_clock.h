#pragma once
#include "platform/win32/windows_api.h"

#include <string>

#include "platform/clock.h"

namespace cw {

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
