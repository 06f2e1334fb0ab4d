#include <windows.h>

#include "platform/ErrorBoxInternal.h"
#include "platform/win32/Wide.h"

namespace platform::internal {

void SystemErrorBox(const std::string& caption, const std::string& text) {
  // Task-modal: the program has no window to own the box.
  MessageBoxW(nullptr, win32::W(text).c_str(), win32::W(caption).c_str(),
              MB_OK | MB_TASKMODAL | MB_ICONERROR);
}

}  // namespace platform::internal
