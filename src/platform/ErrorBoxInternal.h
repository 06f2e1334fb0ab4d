#pragma once

#include <string>

namespace platform::internal {

// The system's own way of showing the error (message box, standard error).
void SystemErrorBox(const std::string& caption, const std::string& text);

}  // namespace platform::internal
