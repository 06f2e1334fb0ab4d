#include <windows.h>

#include "platform/Locale.h"
#include "platform/LocaleInternal.h"
#include "platform/win32/Wide.h"

namespace platform {

namespace internal {

char SystemDecimalSeparator() {
  wchar_t buffer[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8) == 0) return '\0';
  return buffer[0] < 0x80 ? static_cast<char>(buffer[0]) : '\0';
}

}  // namespace internal

std::string FormatLocalDateTime(const LocalTime& time) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(time.year);
  st.wMonth = static_cast<WORD>(time.month);
  st.wDay = static_cast<WORD>(time.day);
  st.wHour = static_cast<WORD>(time.hour);
  st.wMinute = static_cast<WORD>(time.minute);
  st.wSecond = static_cast<WORD>(time.second);
  st.wMilliseconds = static_cast<WORD>(time.millisecond);
  wchar_t date[128] = {};
  wchar_t clock[128] = {};
  if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 128) == 0) return "";
  if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, clock, 128) == 0) return "";
  return win32::U(date) + " " + win32::U(clock);
}

}  // namespace platform
