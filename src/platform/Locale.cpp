// The test seam of the locale service.
#include "platform/Locale.h"

#include <atomic>

#include "platform/LocaleInternal.h"

namespace platform {

namespace {
std::atomic<char> g_separator_for_testing{'\0'};
}  // namespace

char DecimalSeparator() {
  const char fixed = g_separator_for_testing.load();
  if (fixed != '\0') return fixed;
  const char separator = internal::SystemDecimalSeparator();
  return (separator > ' ' && separator < 0x7F) ? separator : '.';
}

void SetDecimalSeparatorForTesting(char separator) { g_separator_for_testing = separator; }

}  // namespace platform
