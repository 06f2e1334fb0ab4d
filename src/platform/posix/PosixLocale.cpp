// The locale the environment names (LC_ALL, LC_NUMERIC, LC_TIME, LANG); the
// process's own C locale is left alone.
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include "platform/Locale.h"
#include "platform/LocaleInternal.h"

namespace platform {

namespace {

class UserLocale {
 public:
  explicit UserLocale(int mask) : locale_(newlocale(mask, "", static_cast<locale_t>(0))) {}
  ~UserLocale() {
    if (locale_ != static_cast<locale_t>(0)) freelocale(locale_);
  }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

}  // namespace

namespace internal {

char SystemDecimalSeparator() {
  const UserLocale locale(LC_NUMERIC_MASK);
  if (locale.get() == static_cast<locale_t>(0)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, locale.get());
  if (radix == nullptr || radix[0] == '\0' || radix[1] != '\0') return '\0';
  return radix[0];
}

}  // namespace internal

std::string FormatLocalDateTime(const LocalTime& time) {
  struct tm tm_value = {};
  tm_value.tm_year = time.year - 1900;
  tm_value.tm_mon = time.month - 1;
  tm_value.tm_mday = time.day;
  tm_value.tm_hour = time.hour;
  tm_value.tm_min = time.minute;
  tm_value.tm_sec = time.second;
  tm_value.tm_isdst = -1;
  const UserLocale locale(LC_TIME_MASK);
  char buffer[256];
  const size_t n = locale.get() != static_cast<locale_t>(0)
                       ? strftime_l(buffer, sizeof buffer, "%x %X", &tm_value, locale.get())
                       : strftime(buffer, sizeof buffer, "%x %X", &tm_value);
  return std::string(buffer, n);
}

}  // namespace platform
