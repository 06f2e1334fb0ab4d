// The synchronized call on a Windows message loop: a message-only window on
// the window thread receives a wake-up message for every queued call.
#include <windows.h>

#include <atomic>

#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace platform {

namespace {

constexpr UINT kWakeUpMessage = WM_APP + 0x51;
constexpr UINT kQuitMessage = WM_APP + 0x52;
const wchar_t kWindowClass[] = L"NimbraSynchronizedCallWindow";

std::atomic<HWND> g_window{nullptr};
std::atomic<DWORD> g_loop_thread{0};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kWakeUpMessage) {
    PumpSynchronizedCalls();
    return 0;
  }
  if (message == kQuitMessage) {
    PostQuitMessage(static_cast<int>(wparam));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool RegisterWindowClass() {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClass;
  return RegisterClassW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool AttachSynchronizedCallsToMessageLoop() {
  if (g_window.load() != nullptr) return true;
  if (!RegisterWindowClass()) return false;
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return false;
  g_window = window;
  g_loop_thread = GetCurrentThreadId();
  // A posted message is enough to wake GetMessage or any modal loop; a call
  // that is already waiting gets its own wake-up now.
  SetSynchronizedCallWakeUp([window] { PostMessageW(window, kWakeUpMessage, 0, 0); });
  PostMessageW(window, kWakeUpMessage, 0, 0);
  return true;
}

void DetachSynchronizedCallsFromMessageLoop() {
  HWND window = g_window.exchange(nullptr);
  if (window == nullptr) return;
  SetSynchronizedCallWakeUp({});
  DestroyWindow(window);
}

int RunMessageLoop() {
  g_loop_thread = GetCurrentThreadId();
  MSG message;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return -1;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void QuitMessageLoop(int exit_code) {
  if (GetCurrentThreadId() == g_loop_thread.load()) {
    PostQuitMessage(exit_code);
    return;
  }
  // From another thread: the loop's own thread must post its quit message.
  HWND window = g_window.load();
  if (window != nullptr) {
    PostMessageW(window, kQuitMessage, static_cast<WPARAM>(exit_code), 0);
  } else {
    PostThreadMessageW(g_loop_thread.load(), WM_QUIT, static_cast<WPARAM>(exit_code), 0);
  }
}

}  // namespace platform
