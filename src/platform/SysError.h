// The operating system's error codes and their texts.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The calling thread's last system error (GetLastError / errno).
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// The system's message text for `code`, in UTF-8, as the system words it
// (trailing line breaks included where the system adds them).
std::string SystemErrorMessage(std::uint32_t code);

}  // namespace platform
