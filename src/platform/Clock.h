// Local wall-clock time with milliseconds, and the locale's time separator.
#pragma once

namespace platform {

struct LocalTime {
  int year = 0;    // four digits
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int millisecond = 0;
};

LocalTime Now();

// The separator the user's locale puts between hours, minutes and seconds.
char TimeSeparator();

}  // namespace platform
