// The one way a program without windows tells its user about an error: a
// task-modal error message box on Windows, a line on standard error elsewhere.
#pragma once

#include <string>

namespace platform {

// Shows `text` under `caption` and returns once the user has closed the box.
// When the environment variable NIMBRA_ERROR_BOX_FILE names a file, the text
// is appended to that file as one line instead, so that tests can check what
// the user would see without anyone clicking.
void ShowErrorBox(const std::string& caption, const std::string& text);

}  // namespace platform
