// The user's number and date formats.
#pragma once

#include <string>

#include "platform/Clock.h"

namespace platform {

// The user's decimal separator. A separator outside ASCII is given as '.',
// so that numbers written with it can always be read back.
char DecimalSeparator();

// Fixes the decimal separator for tests; '\0' restores the user's.
void SetDecimalSeparatorForTesting(char separator);

// A date and time in the user's short date and long time formats, joined by
// a blank. Empty when the system cannot format it.
std::string FormatLocalDateTime(const LocalTime& time);

}  // namespace platform
