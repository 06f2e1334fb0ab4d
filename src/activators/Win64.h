// Whether this 32-bit process runs under WOW64 on a 64-bit Windows.
#pragma once

#include <stdexcept>

// The WOW64 query itself failed.
class EWin64Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Asks the system now. False where the system has no WOW64 (no
// IsWow64Process export, or not Windows at all); raises EWin64Error with
// "IsWow64: bad process handle" when the query fails.
bool IsWow64();

// The answer of IsWow64, taken once when first asked for.
bool IsWin64();
