#include "platform/win32/win32_clock.h"

namespace cw {
namespace {

// A second count of local time, to notice when the texts are stale.
ULONGLONG SecondOf(const SYSTEMTIME& t) {
  FILETIME file_time;
  if (!SystemTimeToFileTime(&t, &file_time)) return 0;
  ULARGE_INTEGER value;
  value.LowPart = file_time.dwLowDateTime;
  value.HighPart = file_time.dwHighDateTime;
  return value.QuadPart / 10000000ull;
}

}  // namespace

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

int64_t Win32Clock::CurrentSecond() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return static_cast<int64_t>(SecondOf(now));
}

void Win32Clock::Format(std::string& date, std::string& time) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  date = FormatShortDate(now);
  time = FormatTime(now, 0);
}

}  // namespace cw
