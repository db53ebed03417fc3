#pragma once
#include "platform/win32/windows_api.h"

#include <string>

#include "platform/clock.h"

namespace cw {

// The user's short date, and the time in the given GetTimeFormat flags (0 is the long time,
// TIME_NOSECONDS the hours and minutes), both for the local time t.
std::string FormatShortDate(const SYSTEMTIME& t);
std::string FormatTime(const SYSTEMTIME& t, DWORD flags);

// The texts are formatted once per second and reused, since a long log text asks for them once
// per 100-byte entry.
class Win32Clock final : public Clock {
 public:
  std::string ShortDateText() override;
  std::string LongTimeText() override;

 private:
  void Refresh();
  ULONGLONG formatted_second_ = ~0ull;
  std::string date_;
  std::string time_;
};

}  // namespace cw
