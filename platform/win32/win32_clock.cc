#include "platform/win32/win32_clock.h"

namespace cw {

std::string FormatShortDate(const SYSTEMTIME& t) {
  char buffer[128];
  int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, n - 1) : std::string();
}

std::string FormatTime(const SYSTEMTIME& t, DWORD flags) {
  char buffer[128];
  int n = GetTimeFormatA(LOCALE_USER_DEFAULT, flags, &t, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, n - 1) : std::string();
}

int64_t Win32Clock::Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((TicksOf(now) - kTicksBefore1970) / 10000000ull);
}

void Win32Clock::Format(int64_t at, std::string& date, std::string& time) {
  const ULONGLONG ticks = static_cast<ULONGLONG>(at) * 10000000ull + kTicksBefore1970;
  const FILETIME moment{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&moment, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    date.clear();
    time.clear();
    return;
  }
  date = FormatShortDate(local);
  time = FormatTime(local, 0);
}

}  // namespace cw
