// Top-level windows: their class and handle, the window procedure that turns
// messages into WindowEvents, timers, and the message loops (the main one and
// the modal ones).
#include <windows.h>
#include <windowsx.h>
// The common controls after windows.h.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "platform/gui/win32/Win32GuiInternal.h"
#include "platform/win32/Wide.h"

namespace gui::win32 {

using platform::win32::U;
using platform::win32::W;

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::uint16_t ShiftState() {
  std::uint16_t shift = 0;
  if (GetKeyState(VK_SHIFT) < 0) shift |= kShortcutShift;
  if (GetKeyState(VK_CONTROL) < 0) shift |= kShortcutCtrl;
  if (GetKeyState(VK_MENU) < 0) shift |= kShortcutAlt;
  return shift;
}

std::unordered_map<HWND, Win32Window*>& Windows() {
  static std::unordered_map<HWND, Win32Window*> windows;
  return windows;
}

std::vector<HWND>& HandlesInHandler() {
  static std::vector<HWND> handles;
  return handles;
}

namespace {

class HandlerScope {
 public:
  explicit HandlerScope(HWND window) { HandlesInHandler().push_back(window); }
  ~HandlerScope() { HandlesInHandler().pop_back(); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

}  // namespace

DWORD StyleBits(WindowStyle style) {
  switch (style) {
    case WindowStyle::Borderless:
      // The system menu and minimise box let the task bar minimise it.
      return WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    case WindowStyle::Dialog:
      return WS_CAPTION | WS_SYSMENU;
    case WindowStyle::DialogWithMinimize:
      return WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  }
  return WS_POPUP;
}

ATOM RegisterClassOnDemand(const std::wstring& name, WNDPROC procedure) {
  // The classes this module registered, by name: asked once each.
  static std::map<std::wstring, ATOM> registered;
  const auto found = registered.find(name);
  if (found != registered.end()) return found->second;
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  // Double clicks for the tray icon's callback; painting covers everything,
  // so no background brush.
  window_class.style = CS_DBLCLKS;
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = Instance();
  window_class.hIcon = ProgramIcon();
  window_class.hIconSm = ProgramIcon();
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = name.c_str();
  ATOM atom = RegisterClassExW(&window_class);
  if (atom == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
    // Ours only if its windows would reach our procedure: a class of that
    // name that another module made global would make windows we cannot
    // drive.
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof(existing);
    atom = static_cast<ATOM>(GetClassInfoExW(Instance(), name.c_str(), &existing));
    if (atom != 0 && existing.lpfnWndProc != procedure) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  if (atom != 0) registered.emplace(name, atom);
  return atom;
}

// ---- The window object ------------------------------------------------------------

Win32Window::Win32Window(const WindowSpec& layout, WindowEvents& events)
    : spec_(layout), events_(events), background_(CreateSolidBrush(ToColorRef(layout.background))) {
  if (RegisterClassOnDemand(W(layout.class_name), &Win32Window::Procedure) == 0) {
    const DWORD error = GetLastError();
    DeleteObject(background_);
    throw WindowError("window class " + layout.class_name + " not registered, error " +
                      std::to_string(error));
  }
  if (!spec_.messages.empty()) {
    try {
      Realize();
    } catch (...) {
      DeleteObject(background_);
      throw;
    }
  }
}

Win32Window::~Win32Window() {
  if (hwnd_ == nullptr) {
    DeleteObject(background_);
    return;
  }
  for (const int id : hot_keys_) ::UnregisterHotKey(hwnd_, id);
  RemoveTrayIcon();
  if (modal_) EnableWindows(disabled_by_modal_);
  Windows().erase(hwnd_);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  const auto& running = HandlesInHandler();
  if (std::find(running.begin(), running.end(), hwnd_) != running.end()) {
    ShowWindow(hwnd_, SW_HIDE);
    PostMessageW(hwnd_, kDestroyLaterMessage, 0, 0);
  } else {
    DestroyWindow(hwnd_);
  }
  DeleteObject(background_);
}

Win32Window* Win32Window::FromHandle(HWND handle) {
  const auto found = Windows().find(handle);
  return found == Windows().end() ? nullptr : found->second;
}

HWND Win32Window::Realize() {
  if (hwnd_ != nullptr) return hwnd_;
  const RECT frame = Frame();
  HWND owner = nullptr;
  if (spec_.owner != nullptr) owner = static_cast<Win32Window*>(spec_.owner)->Realize();
  const DWORD ex_style = spec_.right_to_left ? WS_EX_LAYOUTRTL | WS_EX_RTLREADING : 0;
  HWND created = nullptr;
  DWORD error = ERROR_SUCCESS;
  bool destroyed = false;
  // Under Wine a window is now and then destroyed while being made, with no
  // error given: one more try, and only a second refusal ends the program.
  for (int attempt = 0; attempt < 2 && created == nullptr; ++attempt) {
    if (attempt > 0) Sleep(50);
    // WM_NCCREATE binds the object and sets hwnd_. Not every way to fail
    // sets an error: one set by an earlier call must not be taken for the
    // reason.
    hwnd_ = nullptr;
    SetLastError(ERROR_SUCCESS);
    created = CreateWindowExW(ex_style, W(spec_.class_name).c_str(), W(spec_.title).c_str(),
                              StyleBits(spec_.style), spec_.position.x, spec_.position.y,
                              frame.right - frame.left, frame.bottom - frame.top, owner, nullptr,
                              Instance(), this);
    error = GetLastError();
    // A window that got as far as WM_NCCREATE and was then destroyed leaves
    // a handle behind that must not be used (as another window's owner).
    destroyed = created == nullptr && hwnd_ != nullptr;
  }
  if (created == nullptr) {
    std::string reason =
        "window " + spec_.class_name + " not created, " +
        (error != ERROR_SUCCESS ? "error " + std::to_string(error) : std::string("no error given"));
    if (destroyed) reason += " (destroyed while being made)";
    hwnd_ = nullptr;
    if (owner != nullptr && !IsWindow(owner)) {
      reason += " (its owner " + static_cast<Win32Window*>(spec_.owner)->spec_.class_name +
                " is no longer a window)";
    }
    throw WindowError(reason);
  }
  Windows()[hwnd_] = this;
  if (region_.set) ApplyRegion();
  // In the order they were added: that is the tab order.
  for (const auto& control : controls_) control->Realize(hwnd_);
  if (!hints_.empty()) ApplyHints();
  return hwnd_;
}

void Win32Window::Show() {
  Realize();
  if (spec_.centred) {
    const Rect area = SystemWorkArea();
    const Rect bounds = Bounds();
    SetWindowPos(hwnd_, nullptr, area.left + (area.width - bounds.width) / 2,
                 area.top + (area.height - bounds.height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void Win32Window::Hide() {
  if (hwnd_ != nullptr) ShowWindow(hwnd_, SW_HIDE);
}

bool Win32Window::Visible() const { return hwnd_ != nullptr && IsWindowVisible(hwnd_) != FALSE; }

bool Win32Window::Active() const { return hwnd_ != nullptr && GetActiveWindow() == hwnd_; }

Rect Win32Window::Bounds() const {
  if (hwnd_ == nullptr) {
    const RECT frame = Frame();
    return {spec_.position.x, spec_.position.y, frame.right - frame.left, frame.bottom - frame.top};
  }
  RECT bounds = {};
  GetWindowRect(hwnd_, &bounds);
  return FromRECT(bounds);
}

void Win32Window::SetPosition(Point position) {
  spec_.position = position;
  if (hwnd_ == nullptr) return;
  SetWindowPos(hwnd_, nullptr, position.x, position.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Window::SetTitle(const std::string& title) {
  spec_.title = title;
  if (hwnd_ != nullptr) SetWindowTextW(hwnd_, W(title).c_str());
}

std::string Win32Window::Title() const {
  return hwnd_ == nullptr ? spec_.title : U(WindowText(hwnd_));
}

void Win32Window::SetRoundRectRegion(int left, int top, int right, int bottom, int ellipse_width,
                                     int ellipse_height) {
  region_ = {true, left, top, right, bottom, ellipse_width, ellipse_height};
  if (hwnd_ != nullptr) ApplyRegion();
}

void Win32Window::ApplyRegion() {
  // The region leaves out its right and bottom edges: one pixel more.
  HRGN region = CreateRoundRectRgn(region_.left, region_.top, region_.right + 1, region_.bottom + 1,
                                   region_.ellipse_width, region_.ellipse_height);
  // Once set, the region belongs to the system.
  if (region != nullptr && SetWindowRgn(hwnd_, region, TRUE) == 0) DeleteObject(region);
}

void Win32Window::Invalidate() {
  if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, FALSE);
}

RECT Win32Window::Frame() const {
  RECT frame = {0, 0, spec_.client_width, spec_.client_height};
  AdjustWindowRectEx(&frame, StyleBits(spec_.style), FALSE, 0);
  return frame;
}

// On the window, never on the thread: thread messages are lost in modal
// loops.
void Win32Window::SetTimer(int id, std::uint32_t interval_ms) {
  if (::SetTimer(Realize(), static_cast<UINT_PTR>(id), interval_ms, nullptr) == 0) {
    timers_.erase(id);
    return;
  }
  // The system raises shorter intervals to its minimum.
  timers_[id] = {std::max<std::uint32_t>(interval_ms, USER_TIMER_MINIMUM), 1,
                 std::chrono::steady_clock::now()};
}

void Win32Window::KillTimer(int id) {
  timers_.erase(id);
  if (hwnd_ != nullptr) ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
}

// Any program can post WM_TIMER to our window: only the ids armed here count,
// and each no more often than its timer ticks. The budget gains one tick per
// interval and holds at most two, so a tick that came late followed by one
// on time both pass, while a flood gets at most one more.
bool Win32Window::TimerDue(UINT_PTR id) {
  const auto found = id <= INT_MAX ? timers_.find(static_cast<int>(id)) : timers_.end();
  if (found == timers_.end()) return false;
  ArmedTimer& timer = found->second;
  const auto now = std::chrono::steady_clock::now();
  const double elapsed_ms = std::chrono::duration<double, std::milli>(now - timer.since).count();
  timer.since = now;
  timer.budget = std::min(2.0, timer.budget + elapsed_ms / timer.interval_ms);
  if (timer.budget < 1) return false;
  timer.budget -= 1;
  return true;
}

void Win32Window::ListedMessage(UINT message) {
  if (!listed_pending_.insert(message).second) return;
  if (PostMessageW(hwnd_, kListedMessageDue, message, 0) == FALSE) {
    listed_pending_.erase(message);
    events_.Message(message);
  }
}

bool Win32Window::PreviewKey(const MSG& message) {
  if (!spec_.key_preview) return false;
  return events_.KeyDown(static_cast<int>(message.wParam), ShiftState());
}

void Win32Window::SetPointerControl(int id) {
  if (id == pointer_control_) return;
  pointer_control_ = id;
  events_.PointerOverControl(id);
}

// ---- Messages -----------------------------------------------------------------

LRESULT CALLBACK Win32Window::Procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->hwnd_ = handle;
    SetWindowLongPtrW(handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(handle, GWLP_USERDATA));
  if (self == nullptr) {
    if (message == kDestroyLaterMessage) {
      DestroyWindow(handle);
      return 0;
    }
    return DefWindowProcW(handle, message, wparam, lparam);
  }
  // The object may be deleted inside the handler: nothing of it is used
  // after Handle returns.
  HandlerScope scope(handle);
  return self->Handle(message, wparam, lparam);
}

LRESULT Win32Window::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (std::find(spec_.messages.begin(), spec_.messages.end(), message) != spec_.messages.end()) {
    ListedMessage(message);
    return 0;
  }
  if (message == kListedMessageDue) {
    // Only for a message that is pending: anyone could post this one too.
    if (listed_pending_.erase(static_cast<UINT>(wparam)) != 0) {
      events_.Message(static_cast<std::uint32_t>(wparam));
    }
    return 0;
  }
  if (message == TaskbarCreatedMessage()) {
    TaskbarCreated();
    return 0;
  }
  switch (message) {
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      return Default(message, wparam, lparam);
    case WM_ERASEBKGND:
      return 1;  // the painting covers everything
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(hwnd_, &paint);
      RECT client;
      GetClientRect(hwnd_, &client);
      PaintInto(dc, client);
      EndPaint(hwnd_, &paint);
      return 0;
    }
    case WM_PRINTCLIENT: {
      RECT client;
      GetClientRect(hwnd_, &client);
      PaintInto(reinterpret_cast<HDC>(wparam), client);
      return 0;
    }
    case WM_NCHITTEST:
      return HitTest(lparam);
    case WM_NCLBUTTONDBLCLK:
      // A skinned window has no maximised state.
      if (spec_.style == WindowStyle::Borderless && wparam == HTCAPTION) return 0;
      return Default(message, wparam, lparam);
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONUP:
      // Nor a system menu on its background.
      if (spec_.style == WindowStyle::Borderless && wparam == HTCAPTION) return 0;
      return Default(message, wparam, lparam);
    case WM_MOUSEMOVE:
      if (!pointer_came_) {
        pointer_came_ = true;
        ApplyHints();
      }
      if (!tracking_mouse_) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd_, 0};
        tracking_mouse_ = TrackMouseEvent(&track) != FALSE;
      }
      SetPointerControl(0);
      events_.MouseMove({GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)});
      return 0;
    case WM_MOUSELEAVE:
      tracking_mouse_ = false;
      events_.MouseLeave();
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
      MouseButton(message, lparam);
      return 0;
    case WM_CAPTURECHANGED:
      if (mouse_pressed_) {
        mouse_pressed_ = false;
        events_.CaptureLost();
      }
      return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      if (events_.KeyDown(static_cast<int>(wparam), ShiftState())) return 0;
      return Default(message, wparam, lparam);
    case WM_TIMER:
      if (wparam == kTrayAddTimer) {
        AddTrayIconNow();
      } else if (TimerDue(wparam)) {
        events_.Timer(static_cast<int>(wparam));
      }
      return 0;
    case WM_HOTKEY:
      // Only the ids registered here (the system's own are negative).
      if (std::any_of(hot_keys_.begin(), hot_keys_.end(),
                      [&](int id) { return static_cast<WPARAM>(id) == wparam; })) {
        events_.HotKey(static_cast<int>(wparam));
      }
      return 0;
    case kTrayMessage:
      Tray(lparam);
      return 0;
    case WM_COMMAND:
      Command(wparam, lparam);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      Win32Control* control = ControlOf(header->hwndFrom);
      if (control != nullptr && control->Kind() == ControlKind::TabControl &&
          header->code == static_cast<UINT>(TCN_SELCHANGE)) {
        events_.Command(control->Id());
      }
      return 0;
    }
    case DM_GETDEFID:
      if (default_button_ == nullptr) return 0;
      return MAKELRESULT(default_button_->Id() + kControlIdBase, DC_HASDEFID);
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ControlColour(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam), message,
                           wparam, lparam);
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      if (item->CtlType != ODT_STATIC) return Default(message, wparam, lparam);
      DrawPicture(*item);
      return TRUE;
    }
    case WM_SETCURSOR: {
      Win32Control* control = ControlOf(reinterpret_cast<HWND>(wparam));
      if (control != nullptr && control->Kind() == ControlKind::Link) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      return Default(message, wparam, lparam);
    }
    case WM_CLOSE:
      // The portable side decides whether the window goes.
      events_.CloseRequest();
      return 0;
    case WM_MOVE:
      if (!IsIconic(hwnd_)) events_.Moved(Bounds());
      return 0;
    case WM_MOVING:
      if (spec_.snap_distance > 0) {
        auto* proposed = reinterpret_cast<RECT*>(lparam);
        *proposed =
            ToRECT(SnapToWorkArea(FromRECT(*proposed), SystemWorkArea(), spec_.snap_distance));
        return TRUE;
      }
      return Default(message, wparam, lparam);
    case WM_SIZE:
      if (status_bar_ != nullptr && status_bar_->Handle() != nullptr) {
        SendMessageW(status_bar_->Handle(), WM_SIZE, 0, 0);
      }
      if (wparam == SIZE_MINIMIZED) events_.Minimized();
      return 0;
    case WM_ACTIVATE:
      Activate(wparam);
      events_.Activated(LOWORD(wparam) != WA_INACTIVE);
      return 0;
    case WM_ENDSESSION:
      if (wparam) events_.EndSession();
      return 0;
    default:
      return Default(message, wparam, lparam);
  }
}

LRESULT Win32Window::HitTest(LPARAM lparam) {
  const LRESULT area = Default(WM_NCHITTEST, 0, lparam);
  if (area != HTCLIENT) return area;
  POINT point = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  ScreenToClient(hwnd_, &point);
  return events_.HitTest({point.x, point.y}) == HitArea::Caption ? HTCAPTION : HTCLIENT;
}

void Win32Window::MouseButton(UINT message, LPARAM lparam) {
  gui::MouseButton button = gui::MouseButton::Left;
  bool down = true;
  switch (message) {
    case WM_LBUTTONUP:
      down = false;
      break;
    case WM_RBUTTONUP:
      down = false;
      [[fallthrough]];
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
      button = gui::MouseButton::Right;
      break;
    case WM_MBUTTONUP:
      down = false;
      [[fallthrough]];
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
      button = gui::MouseButton::Middle;
      break;
    default:
      break;
  }
  const Point point = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  if (down) {
    SetCapture(hwnd_);
    mouse_pressed_ = true;
    events_.MouseDown(button, point);
    return;
  }
  // Released before the event, whose handler may open a menu or a dialog:
  // that must not count as a lost capture.
  mouse_pressed_ = false;
  if (GetCapture() == hwnd_) ReleaseCapture();
  events_.MouseUp(button, point);
}

// Windows with controls keep the focus on a control across activations, as
// dialogs do; the others take it themselves.
void Win32Window::Activate(WPARAM wparam) {
  if (controls_.empty()) {
    if (LOWORD(wparam) != WA_INACTIVE) ::SetFocus(hwnd_);
    return;
  }
  if (LOWORD(wparam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(hwnd_, focus)) last_focus_ = focus;
    return;
  }
  if (HIWORD(wparam) != 0) return;  // minimised
  HWND focus = last_focus_ != nullptr && IsWindow(last_focus_) && IsWindowEnabled(last_focus_)
                   ? last_focus_
                   : GetNextDlgTabItem(hwnd_, nullptr, FALSE);
  ::SetFocus(focus != nullptr ? focus : hwnd_);
}

// ---- The message loops ------------------------------------------------------

namespace {

HWND g_dialog_keys_window = nullptr;

bool IsKeyMessage(UINT message) {
  return message == WM_KEYDOWN || message == WM_SYSKEYDOWN || message == WM_CHAR ||
         message == WM_SYSCHAR;
}

}  // namespace

HWND DialogKeysWindow() { return g_dialog_keys_window; }

void DispatchOne(MSG& message) {
  HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  Win32Window* window = root != nullptr ? Win32Window::FromHandle(root) : nullptr;
  // DispatchMessageW calls a WM_TIMER's lParam as a timer procedure: our
  // windows have none, so one that names code was posted by someone else.
  // (The native controls' own timers are theirs to judge.)
  if (window != nullptr && message.hwnd == root && message.message == WM_TIMER &&
      message.lParam != 0) {
    return;
  }
  if (window != nullptr && message.hwnd != root) {
    if ((message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) &&
        window->PreviewKey(message)) {
      return;
    }
    if (message.message == WM_MOUSEMOVE) {
      HWND child = message.hwnd;
      while (GetParent(child) != root && GetParent(child) != nullptr) child = GetParent(child);
      window->PointerOver(child);
    }
  }
  // Tab, Enter, Esc and mnemonics among the controls. The handler may have
  // deleted the window above, so look it up again.
  if (window != nullptr && Win32Window::FromHandle(root) == window && window->HasControls()) {
    const HWND outer = g_dialog_keys_window;
    g_dialog_keys_window = IsKeyMessage(message.message) ? root : nullptr;
    const BOOL eaten = IsDialogMessageW(root, &message);
    g_dialog_keys_window = outer;
    if (eaten) return;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

int RunLoop() {
  MSG message;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return -1;
    DispatchOne(message);
  }
}

namespace {

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM lparam) {
  auto* found = reinterpret_cast<std::vector<HWND>*>(lparam);
  if (IsWindowVisible(window) && IsWindowEnabled(window)) found->push_back(window);
  return TRUE;
}

}  // namespace

void Win32Window::EnableWindows(const std::vector<HWND>& windows) {
  for (HWND window : windows) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
}

int Win32Window::ShowModal() {
  if (modal_) return 0;
  Realize();
  modal_ = true;
  modal_ended_ = false;
  modal_result_ = 0;
  std::vector<HWND> others;
  EnumThreadWindows(GetCurrentThreadId(), &CollectEnabledWindow, reinterpret_cast<LPARAM>(&others));
  disabled_by_modal_.clear();
  for (HWND other : others) {
    if (other == hwnd_) continue;
    EnableWindow(other, FALSE);
    disabled_by_modal_.push_back(other);
  }
  Show();
  // As a dialog box does: the keyboard goes to a control of the dialog, also
  // where no window manager activates it (Enter and Esc need one).
  SetForegroundWindow(hwnd_);
  const HWND focus = GetFocus();
  if (!controls_.empty() && (focus == nullptr || !IsChild(hwnd_, focus))) {
    const HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    ::SetFocus(first != nullptr ? first : hwnd_);
  }
  bool quit = false;
  int quit_code = 0;
  MSG message;
  while (!modal_ended_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quit_code = static_cast<int>(message.wParam);
      break;
    }
    if (got == -1) break;
    DispatchOne(message);
  }
  // Enabled before hiding, so that activation goes back to the owner.
  EnableWindows(disabled_by_modal_);
  disabled_by_modal_.clear();
  Hide();
  modal_ = false;
  // The outer loop must end too.
  if (quit) PostQuitMessage(quit_code);
  return quit ? 0 : modal_result_;
}

void Win32Window::EndModal(int result) {
  if (!modal_) return;
  modal_result_ = result;
  modal_ended_ = true;
  // Wakes the modal loop when this comes from a handler that does not
  // itself return to it (a timer of another window, a synchronized call).
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

}  // namespace gui::win32
