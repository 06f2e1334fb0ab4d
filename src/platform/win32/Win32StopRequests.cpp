// The session's end and WM_CLOSE through a hidden top-level window on a
// thread of its own (broadcasts such as WM_QUERYENDSESSION reach top-level
// windows only), and the console's control events.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/StopRequests.h"

namespace platform {

namespace {

constexpr wchar_t kClassName[] = L"NimbraStopRequests";
constexpr UINT kQuit = WM_APP + 1;

std::thread g_thread;
std::atomic<HWND> g_window{nullptr};
std::mutex g_mutex;
std::function<void(const std::string&)> g_handler;

void Tell(const std::string& reason) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
  }
  if (handler) handler(reason);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The session goes once this returns: the work is done first.
      if (wparam) Tell("the session ends");
      return 0;
    case WM_CLOSE:
      Tell("asked to close");
      return 0;
    case kQuit:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

BOOL WINAPI ConsoleHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      Tell("Ctrl+C");
      return TRUE;
    case CTRL_BREAK_EVENT:
      Tell("Ctrl+Break");
      return TRUE;
    case CTRL_CLOSE_EVENT:
      Tell("the console closes");
      return TRUE;
    case CTRL_LOGOFF_EVENT:
      Tell("the session ends");
      return TRUE;
    case CTRL_SHUTDOWN_EVENT:
      Tell("the system shuts down");
      return TRUE;
    default:
      return FALSE;
  }
}

void Run(HANDLE made) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);
  // Top-level and never shown.
  HWND window = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                window_class.hInstance, nullptr);
  g_window = window;
  SetEvent(made);
  if (window == nullptr) return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  g_window = nullptr;
}

}  // namespace

bool WatchStopRequests(std::function<void(const std::string& reason)> handler) {
  if (g_thread.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = std::move(handler);
  }
  HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (made == nullptr) return false;
  g_thread = std::thread(Run, made);
  WaitForSingleObject(made, 10000);
  CloseHandle(made);
  const bool console = SetConsoleCtrlHandler(ConsoleHandler, TRUE) != 0;
  return g_window.load() != nullptr || console;
}

void StopWatchingStopRequests() {
  SetConsoleCtrlHandler(ConsoleHandler, FALSE);
  if (g_thread.joinable()) {
    HWND window = g_window.load();
    if (window != nullptr) PostMessageW(window, kQuit, 0, 0);
    // A window that was never made has ended its thread already.
    g_thread.join();
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handler = nullptr;
}

}  // namespace platform
