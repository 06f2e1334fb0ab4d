// The tray icon (re-added when the task bar comes back), its popup menu and
// the system-wide hot keys of a window.
#include <windows.h>
// The shell's calls after windows.h.
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/gui/win32/Win32GuiInternal.h"
#include "platform/win32/Wide.h"

namespace gui::win32 {

using platform::win32::W;

UINT TaskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

// ---- Hot keys -----------------------------------------------------------------------

bool Win32Window::RegisterHotKey(int id, std::uint16_t shortcut) {
  Realize();
  UnregisterHotKey(id);
  UINT modifiers = 0;
  if (shortcut & kShortcutShift) modifiers |= MOD_SHIFT;
  if (shortcut & kShortcutCtrl) modifiers |= MOD_CONTROL;
  if (shortcut & kShortcutAlt) modifiers |= MOD_ALT;
  if (!::RegisterHotKey(hwnd_, id, modifiers, shortcut & 0xFF)) return false;
  hot_keys_.push_back(id);
  return true;
}

void Win32Window::UnregisterHotKey(int id) {
  const auto found = std::find(hot_keys_.begin(), hot_keys_.end(), id);
  if (found == hot_keys_.end()) return;
  ::UnregisterHotKey(hwnd_, id);
  hot_keys_.erase(found);
}

// ---- The tray icon --------------------------------------------------------------

bool Win32Window::AddTrayIcon(const std::string& hint) {
  Realize();
  tray_wanted_ = true;
  tray_hint_ = W(hint);
  if (tray_added_) return CallTray(NIM_MODIFY);
  tray_add_armed_ = ::SetTimer(hwnd_, kTrayAddTimer, USER_TIMER_MINIMUM, nullptr) != 0;
  return tray_add_armed_ || (tray_added_ = CallTray(NIM_ADD));
}

void Win32Window::SetTrayHint(const std::string& hint) {
  tray_hint_ = W(hint);
  if (tray_added_) CallTray(NIM_MODIFY);
}

void Win32Window::RemoveTrayIcon() {
  if (hwnd_ == nullptr) return;
  ::KillTimer(hwnd_, kTrayAddTimer);
  tray_add_armed_ = false;
  if (tray_added_) CallTray(NIM_DELETE);
  tray_added_ = false;
  tray_wanted_ = false;
}

void Win32Window::AddTrayIconNow() {
  if (!tray_add_armed_) return;
  tray_add_armed_ = false;
  ::KillTimer(hwnd_, kTrayAddTimer);
  if (tray_wanted_ && !tray_added_) tray_added_ = CallTray(NIM_ADD);
}

void Win32Window::TaskbarCreated() {
  if (tray_wanted_) tray_added_ = CallTray(NIM_ADD);
}

bool Win32Window::CallTray(DWORD action) {
  NOTIFYICONDATAW data = {};
  // The classic layout: no NIM_SETVERSION, so the callback's lParam is the
  // mouse message itself.
  data.cbSize = NOTIFYICONDATAW_V2_SIZE;
  data.hWnd = hwnd_;
  data.uID = kTrayIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = ProgramIcon();
  tray_hint_.substr(0, std::size(data.szTip) - 1).copy(data.szTip, std::size(data.szTip) - 1);
  return Shell_NotifyIconW(action, &data) != FALSE;
}

void Win32Window::Tray(LPARAM lparam) {
  POINT cursor = {};
  GetCursorPos(&cursor);
  const Point screen = {cursor.x, cursor.y};
  switch (LOWORD(lparam)) {
    case WM_LBUTTONDOWN:
      events_.Tray(TrayEvent::LeftDown, screen);
      break;
    case WM_RBUTTONUP:
      events_.Tray(TrayEvent::RightClick, screen);
      break;
    case WM_LBUTTONDBLCLK:
      events_.Tray(TrayEvent::LeftDoubleClick, screen);
      break;
    default:
      break;
  }
}

// ---- The popup menu -------------------------------------------------------------

int Win32Window::PopupMenu(const std::vector<MenuItem>& items, Point screen) {
  Realize();
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return 0;
  UINT position = 0;
  bool right_to_left = false;
  for (const MenuItem& item : items) {
    if (item.separator) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      ++position;
      continue;
    }
    std::wstring caption = W(item.caption);
    if (item.shortcut != 0) caption += L"\t" + W(ShortcutText(item.shortcut));
    MENUITEMINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STRING | MIIM_STATE;
    info.wID = static_cast<UINT>(item.id);
    info.dwTypeData = caption.data();
    info.fState = (item.is_default ? MFS_DEFAULT : 0u) | (item.enabled ? 0u : MFS_DISABLED);
    InsertMenuItemW(menu, position++, TRUE, &info);
    right_to_left = right_to_left || item.right_to_left;
  }
  // Without the foreground the menu would not close on a click elsewhere;
  // the posted message lets the next one open at once.
  SetForegroundWindow(hwnd_);
  // A right-to-left menu is laid out mirrored: captions at its right edge,
  // read right to left, opening leftwards. (The items' right-order flag
  // would do the reading too, but Wine draws such a popup collapsed.)
  const UINT flags = TPM_RETURNCMD | TPM_RIGHTBUTTON | (right_to_left ? TPM_LAYOUTRTL : 0u);
  const BOOL chosen = TrackPopupMenu(menu, flags, screen.x, screen.y, 0, hwnd_, nullptr);
  PostMessageW(hwnd_, WM_NULL, 0, 0);
  DestroyMenu(menu);
  return static_cast<int>(chosen);
}

}  // namespace gui::win32
