// What each platform supplies to Locale.cpp.
#pragma once

namespace platform::internal {

// The first character of the user's decimal separator, or '\0' when the
// system cannot say or the character is not 8-bit.
char SystemDecimalSeparator();

}  // namespace platform::internal
