// The window layer on Win32: turns window messages into WindowEvents and
// draws through GDI. Everything runs on the window thread; the windows of the
// thread are found through one map from handle to object, so the message
// loops (the main one and the modal ones) can give key previews, dialog keys
// and pointer changes to the right window.
#include <windows.h>
#include <windowsx.h>
// The common controls after windows.h.
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/gui/Gui.h"
#include "platform/win32/Wide.h"

namespace gui {

namespace {

// The system ids of child controls lie above IDOK, IDCANCEL and the other
// dialog ids, so that Enter and Esc never reach a control that merely shares
// its number with one of them.
constexpr int kControlIdBase = 0x1000;

using platform::win32::U;
using platform::win32::W;

// Private messages of our windows.
constexpr UINT kTrayMessage = WM_APP + 0x60;
// Posted by a window object destroyed inside one of its own handlers: the
// handle goes once the handler has returned.
constexpr UINT kDestroyLaterMessage = WM_APP + 0x61;
constexpr UINT kTrayIconId = 1;
// The first NIM_ADD waits on the shell (tens of milliseconds under Wine);
// it is made on this timer, which fires only when no paint is pending, so
// a window shown at start paints first. Forms number their timers from 1.
constexpr UINT_PTR kTrayAddTimer = 0x7E01;

UINT TaskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

HICON ProgramIcon() {
  static HICON icon = [] {
    HICON own = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
    return own != nullptr ? own : LoadIconW(nullptr, IDI_APPLICATION);
  }();
  return icon;
}

COLORREF ToColorRef(Colour colour) {
  return RGB((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
}

RECT ToRECT(const Rect& rect) { return {rect.left, rect.top, rect.Right(), rect.Bottom()}; }

Rect FromRECT(const RECT& rect) {
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

Rect SystemWorkArea() {
  RECT area = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  return FromRECT(area);
}

std::uint16_t ShiftState() {
  std::uint16_t shift = 0;
  if (GetKeyState(VK_SHIFT) < 0) shift |= kShortcutShift;
  if (GetKeyState(VK_CONTROL) < 0) shift |= kShortcutCtrl;
  if (GetKeyState(VK_MENU) < 0) shift |= kShortcutAlt;
  return shift;
}

// One font per face, height, weight and underline, kept for the life of the
// program (a handful; controls keep using them until they are destroyed).
HFONT CachedFont(const TextStyle& style, bool underline = false) {
  static std::map<std::tuple<std::string, int, bool, bool, bool>, HFONT> fonts;
  const auto key =
      std::make_tuple(style.face, style.height, style.cell_height, style.bold, underline);
  const auto found = fonts.find(key);
  if (found != fonts.end()) return found->second;
  LOGFONTW font = {};
  font.lfHeight = style.cell_height ? style.height : -style.height;
  font.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
  font.lfUnderline = underline ? TRUE : FALSE;
  font.lfCharSet = DEFAULT_CHARSET;
  const std::wstring face = W(style.face);
  face.copy(font.lfFaceName, LF_FACESIZE - 1);
  HFONT handle = CreateFontIndirectW(&font);
  fonts.emplace(key, handle);
  return handle;
}

void DrawPixels(HDC dc, const Bitmap& bitmap, Point at) {
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.pixels.size() < static_cast<size_t>(bitmap.width) * bitmap.height) {
    return;
  }
  // 0x00RRGGBB in memory is the 32-bit DIB's blue, green, red, unused.
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = bitmap.width;
  info.bmiHeader.biHeight = -bitmap.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, at.x, at.y, bitmap.width, bitmap.height, 0, 0, 0, bitmap.height,
                    bitmap.pixels.data(), &info, DIB_RGB_COLORS);
}

// Whether the font selected into the DC has a glyph for every character
// (blanks and control characters aside).
bool HasAllGlyphs(HDC dc, const std::wstring& text) {
  if (text.empty()) return true;
  std::vector<WORD> glyphs(text.size());
  if (GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                       GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR) {
    return true;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (glyphs[i] == 0xFFFF && text[i] > L' ') return false;
  }
  return true;
}

// Selects the style's font into the DC, or, when its face lacks a character
// of the text (a display font for Latin text showing a translation), the
// same size in a face the system has for every script; the old font.
HGDIOBJ SelectFontFor(HDC dc, const TextStyle& style, const std::wstring& text) {
  HGDIOBJ old_font = SelectObject(dc, CachedFont(style));
  if (!HasAllGlyphs(dc, text)) {
    TextStyle fallback = style;
    fallback.face = "Tahoma";
    SelectObject(dc, CachedFont(fallback));
  }
  return old_font;
}

// DrawTextW's format for a style: alignment and reading order are the
// style's own, whatever the system's locale.
UINT TextFormat(const TextStyle& style) {
  UINT format = DT_TOP | DT_NOPREFIX;
  if (style.word_wrap && !style.middle) {
    format |= DT_WORDBREAK;
  } else {
    format |= DT_SINGLELINE | (style.middle ? DT_VCENTER : 0u);
  }
  switch (style.align) {
    case TextAlign::Left:
      format |= DT_LEFT;
      break;
    case TextAlign::Centre:
      format |= DT_CENTER;
      break;
    case TextAlign::Right:
      format |= DT_RIGHT;
      break;
  }
  if (style.right_to_left) format |= DT_RTLREADING;
  return format;
}

class Win32Canvas : public Canvas {
 public:
  explicit Win32Canvas(HDC dc) : dc_(dc) {}

  void FillRect(const Rect& rect, Colour colour) override {
    const RECT area = ToRECT(rect);
    HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
    ::FillRect(dc_, &area, brush);
    DeleteObject(brush);
  }

  void DrawBitmap(const Bitmap& bitmap, Point at) override { DrawPixels(dc_, bitmap, at); }

  void DrawString(const std::string& text, const Rect& rect, const TextStyle& style) override {
    RECT area = ToRECT(rect);
    const std::wstring wide = W(text);
    HGDIOBJ old_font = SelectFontFor(dc_, style, wide);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, ToColorRef(style.colour));
    DrawTextW(dc_, wide.c_str(), static_cast<int>(wide.size()), &area, TextFormat(style));
    SelectObject(dc_, old_font);
  }

 private:
  HDC dc_;
};

// A memory DC for measuring, released with the object.
class MeasuringDC {
 public:
  MeasuringDC() : dc_(CreateCompatibleDC(nullptr)) {}
  ~MeasuringDC() {
    if (dc_ != nullptr) DeleteDC(dc_);
  }
  MeasuringDC(const MeasuringDC&) = delete;
  MeasuringDC& operator=(const MeasuringDC&) = delete;
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
};

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

class Win32Window;

// The live windows of the window thread.
std::unordered_map<HWND, Win32Window*>& Windows() {
  static std::unordered_map<HWND, Win32Window*> windows;
  return windows;
}

// The handles whose window procedure is running now (nested when handlers
// pump messages): a window object deleted from one of them defers the handle.
std::vector<HWND>& HandlesInHandler() {
  static std::vector<HWND> handles;
  return handles;
}

class HandlerScope {
 public:
  explicit HandlerScope(HWND window) { HandlesInHandler().push_back(window); }
  ~HandlerScope() { HandlesInHandler().pop_back(); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

// A native control. Its handle is made when its window's is (see
// Win32Window::Realize); until then what is set on it is kept here and given
// to the handle when it is made.
class Win32Control : public Control {
 public:
  // How the handle is to be made: worked out when the control is added, as
  // its group bits depend on the controls before it.
  struct Recipe {
    const wchar_t* class_name = L"BUTTON";
    DWORD style = 0;
    DWORD ex_style = 0;
    Rect bounds;
  };

  Win32Control(const ControlSpec& layout, const Recipe& recipe, Win32Window& owner)
      : spec_(layout), recipe_(recipe), owner_(owner), text_(layout.text) {}

  // Makes the handle, as a child of `parent`, with what was set so far.
  void Realize(HWND parent);

  int Id() const override { return spec_.id; }
  ControlKind Kind() const { return spec_.kind; }
  const ControlSpec& Layout() const { return spec_; }
  HWND Handle() const { return handle_; }
  const Bitmap& Picture() const { return bitmap_; }

  void SetText(const std::string& text) override {
    text_ = text;
    if (handle_ == nullptr) return;
    if (spec_.kind == ControlKind::StatusBar) {
      const std::wstring wide = W(text);
      SendMessageW(handle_, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(wide.c_str()));
      return;
    }
    SetWindowTextW(handle_, W(text).c_str());
    // A static's text is drawn over the parent's background; without a
    // redraw of that, longer old text would stay visible.
    if (spec_.kind == ControlKind::Text || spec_.kind == ControlKind::Link) {
      RedrawParentUnder();
    }
  }

  std::string Text() const override {
    // The user edits only what has a handle; a status bar's text is ours.
    if (handle_ == nullptr || spec_.kind == ControlKind::StatusBar) return text_;
    return U(WindowText(handle_));
  }

  void SetChecked(bool checked) override;

  bool Checked() const override {
    if (handle_ == nullptr) return checked_;
    return SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }

  void SetVisible(bool visible) override {
    visible_ = visible;
    if (handle_ != nullptr) ShowWindow(handle_, visible ? SW_SHOW : SW_HIDE);
  }

  void SetEnabled(bool enabled) override {
    enabled_ = enabled;
    if (handle_ != nullptr) EnableWindow(handle_, enabled ? TRUE : FALSE);
  }

  // The focus needs the window: it is made here if it is not yet.
  void SetFocus() override;

  void SetBitmap(const Bitmap& bitmap) override {
    bitmap_ = bitmap;
    if (handle_ != nullptr) InvalidateRect(handle_, nullptr, FALSE);
  }

  void SetItems(const std::vector<std::string>& items) override {
    if (spec_.kind != ControlKind::TabControl) return;
    items_ = items;
    selected_ = items.empty() ? -1 : 0;
    if (handle_ != nullptr) InsertItems();
  }

  void SetSelected(int index) override {
    if (spec_.kind != ControlKind::TabControl) return;
    selected_ = index;
    if (handle_ != nullptr) SendMessageW(handle_, TCM_SETCURSEL, index, 0);
  }

  int Selected() const override {
    if (spec_.kind != ControlKind::TabControl) return -1;
    if (handle_ == nullptr) return selected_;
    return static_cast<int>(SendMessageW(handle_, TCM_GETCURSEL, 0, 0));
  }

  // Set by the window: the other radio buttons of the group.
  std::vector<Win32Control*>* radio_group = nullptr;

 private:
  void InsertItems() {
    SendMessageW(handle_, TCM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < items_.size(); ++i) {
      std::wstring caption = W(items_[i]);
      TCITEMW item = {};
      item.mask = TCIF_TEXT;
      item.pszText = caption.data();
      SendMessageW(handle_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
  }

  void RedrawParentUnder() {
    HWND parent = GetParent(handle_);
    RECT area;
    GetWindowRect(handle_, &area);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
    RedrawWindow(parent, &area, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }

  ControlSpec spec_;
  Recipe recipe_;
  Win32Window& owner_;
  HWND handle_ = nullptr;
  Bitmap bitmap_;
  // What was last set. Read back until the handle is made; after that the
  // handle answers, except for a status bar's text, which is always ours.
  std::string text_;
  bool checked_ = false;
  bool visible_ = true;
  bool enabled_ = true;
  std::vector<std::string> items_;
  int selected_ = -1;
};

void Win32Control::Realize(HWND parent) {
  if (handle_ != nullptr) return;
  const DWORD style =
      (recipe_.style & ~WS_VISIBLE) | (visible_ ? WS_VISIBLE : 0) | (enabled_ ? 0 : WS_DISABLED);
  const bool status_bar = spec_.kind == ControlKind::StatusBar;
  handle_ = CreateWindowExW(
      recipe_.ex_style, recipe_.class_name, status_bar ? L"" : W(text_).c_str(), style,
      recipe_.bounds.left, recipe_.bounds.top, recipe_.bounds.width, recipe_.bounds.height, parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec_.id + kControlIdBase)), Instance(),
      nullptr);
  if (handle_ == nullptr) {
    throw std::runtime_error("control " + std::to_string(spec_.id) + " not created, error " +
                             std::to_string(GetLastError()));
  }
  SendMessageW(handle_, WM_SETFONT,
               reinterpret_cast<WPARAM>(CachedFont(spec_.style, spec_.kind == ControlKind::Link)),
               FALSE);
  if (checked_) SendMessageW(handle_, BM_SETCHECK, BST_CHECKED, 0);
  if (spec_.kind == ControlKind::TabControl && !items_.empty()) {
    InsertItems();
    SendMessageW(handle_, TCM_SETCURSEL, selected_, 0);
  }
  if (status_bar) {
    SendMessageW(handle_, SB_SIMPLE, TRUE, 0);
    if (!text_.empty()) SetText(text_);
  }
}

void Win32Control::SetChecked(bool checked) {
  checked_ = checked;
  if (handle_ != nullptr) {
    SendMessageW(handle_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  // One group per window: checking one radio button clears the others, as a
  // click does.
  if (checked && radio_group != nullptr) {
    for (Win32Control* other : *radio_group) {
      if (other == this) continue;
      other->checked_ = false;
      if (other->handle_ != nullptr) SendMessageW(other->handle_, BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }
}

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

bool RegisterClassOnDemand(const std::wstring& name, WNDPROC procedure) {
  WNDCLASSEXW existing = {};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(Instance(), name.c_str(), &existing)) return true;
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
  return RegisterClassExW(&window_class) != 0;
}

// A top-level window. Its handle, and its controls' handles, are made when
// something first needs them (shown, a timer, a hot key, the tray, a menu):
// the auxiliary windows made at start-up cost nothing until they are opened,
// and the main window paints sooner. Windows that take messages from other
// programs (WindowSpec::messages) are made at once, so those find them.
class Win32Window : public Window {
 public:
  Win32Window(const WindowSpec& layout, WindowEvents& events)
      : spec_(layout),
        events_(events),
        background_(CreateSolidBrush(ToColorRef(layout.background))) {
    if (!RegisterClassOnDemand(W(layout.class_name), &Win32Window::Procedure)) {
      const DWORD error = GetLastError();
      DeleteObject(background_);
      throw std::runtime_error("window class " + layout.class_name + " not registered, error " +
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

  ~Win32Window() override {
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

  // Makes the handle (and its owner's, and its controls') if it is not made
  // yet; throws when the system refuses.
  HWND Realize();

  static Win32Window* FromHandle(HWND handle) {
    const auto found = Windows().find(handle);
    return found == Windows().end() ? nullptr : found->second;
  }

  HWND Handle() const { return hwnd_; }
  bool HasControls() const { return !controls_.empty(); }
  bool KeyPreview() const { return spec_.key_preview; }

  // Window

  void Show() override {
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

  void Hide() override {
    if (hwnd_ != nullptr) ShowWindow(hwnd_, SW_HIDE);
  }
  bool Visible() const override { return hwnd_ != nullptr && IsWindowVisible(hwnd_) != FALSE; }
  bool Active() const override { return hwnd_ != nullptr && GetActiveWindow() == hwnd_; }

  Rect Bounds() const override {
    if (hwnd_ == nullptr) {
      const RECT frame = Frame();
      return {spec_.position.x, spec_.position.y, frame.right - frame.left,
              frame.bottom - frame.top};
    }
    RECT bounds = {};
    GetWindowRect(hwnd_, &bounds);
    return FromRECT(bounds);
  }

  void SetPosition(Point position) override {
    spec_.position = position;
    if (hwnd_ == nullptr) return;
    SetWindowPos(hwnd_, nullptr, position.x, position.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void SetTitle(const std::string& title) override {
    spec_.title = title;
    if (hwnd_ != nullptr) SetWindowTextW(hwnd_, W(title).c_str());
  }
  std::string Title() const override {
    return hwnd_ == nullptr ? spec_.title : U(WindowText(hwnd_));
  }

  void SetRoundRectRegion(int left, int top, int right, int bottom, int ellipse_width,
                          int ellipse_height) override {
    region_ = {true, left, top, right, bottom, ellipse_width, ellipse_height};
    if (hwnd_ != nullptr) ApplyRegion();
  }

  void Invalidate() override {
    if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, FALSE);
  }

  // On the window, never on the thread: thread messages are lost in modal
  // loops.
  void SetTimer(int id, std::uint32_t interval_ms) override {
    ::SetTimer(Realize(), static_cast<UINT_PTR>(id), interval_ms, nullptr);
  }
  void KillTimer(int id) override {
    if (hwnd_ != nullptr) ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
  }

  bool RegisterHotKey(int id, std::uint16_t shortcut) override {
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

  void UnregisterHotKey(int id) override {
    const auto found = std::find(hot_keys_.begin(), hot_keys_.end(), id);
    if (found == hot_keys_.end()) return;
    ::UnregisterHotKey(hwnd_, id);
    hot_keys_.erase(found);
  }

  bool AddTrayIcon(const std::string& hint) override {
    Realize();
    tray_wanted_ = true;
    tray_hint_ = W(hint);
    if (tray_added_) return CallTray(NIM_MODIFY);
    return ::SetTimer(hwnd_, kTrayAddTimer, USER_TIMER_MINIMUM, nullptr) != 0 ||
           (tray_added_ = CallTray(NIM_ADD));
  }

  void SetTrayHint(const std::string& hint) override {
    tray_hint_ = W(hint);
    if (tray_added_) CallTray(NIM_MODIFY);
  }

  void RemoveTrayIcon() override {
    if (hwnd_ == nullptr) return;
    ::KillTimer(hwnd_, kTrayAddTimer);
    if (tray_added_) CallTray(NIM_DELETE);
    tray_added_ = false;
    tray_wanted_ = false;
  }

  int PopupMenu(const std::vector<MenuItem>& items, Point screen) override {
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

  int ShowModal() override;

  void EndModal(int result) override {
    if (!modal_) return;
    modal_result_ = result;
    modal_ended_ = true;
    // Wakes the modal loop when this comes from a handler that does not
    // itself return to it (a timer of another window, a synchronized call).
    PostMessageW(hwnd_, WM_NULL, 0, 0);
  }

  bool InModal() const override { return modal_; }

  Control& AddControl(const ControlSpec& layout) override;

  Control* FindControl(int id) override {
    for (const auto& control : controls_) {
      if (control->Id() == id) return control.get();
    }
    return nullptr;
  }

  void SetHints(const std::vector<HintArea>& hints) override;

  // Called by the message loops for messages aimed at a control of this
  // window; true when the message was eaten.
  bool PreviewKey(const MSG& message) {
    if (!spec_.key_preview) return false;
    return events_.KeyDown(static_cast<int>(message.wParam), ShiftState());
  }

  void PointerOver(HWND child) {
    int id = 0;
    for (const auto& control : controls_) {
      if (control->Handle() == child) id = control->Id();
    }
    SetPointerControl(id);
  }

 private:
  static LRESULT CALLBACK Procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Default(UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(hwnd_, message, wparam, lparam);
  }

  Point ClientPoint(LPARAM lparam) const { return {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)}; }

  void PaintInto(HDC target, const RECT& client);
  LRESULT HitTest(LPARAM lparam);
  void MouseButton(UINT message, LPARAM lparam);
  void Command(WPARAM wparam, LPARAM lparam);
  LRESULT ControlColour(HDC dc, HWND child, UINT message, WPARAM wparam, LPARAM lparam);
  void DrawPicture(const DRAWITEMSTRUCT& item);
  void Tray(LPARAM lparam);
  void Activate(WPARAM wparam);

  Win32Control* ControlOf(HWND child) const {
    for (const auto& control : controls_) {
      if (control->Handle() == child) return control.get();
    }
    return nullptr;
  }

  Win32Control* ControlWithId(int id) const {
    for (const auto& control : controls_) {
      if (control->Id() == id) return control.get();
    }
    return nullptr;
  }

  void SetPointerControl(int id) {
    if (id == pointer_control_) return;
    pointer_control_ = id;
    events_.PointerOverControl(id);
  }

  // The whole window's size for the client size asked for.
  RECT Frame() const {
    RECT frame = {0, 0, spec_.client_width, spec_.client_height};
    AdjustWindowRectEx(&frame, StyleBits(spec_.style), FALSE, 0);
    return frame;
  }

  void ApplyRegion() {
    // The region leaves out its right and bottom edges: one pixel more.
    HRGN region =
        CreateRoundRectRgn(region_.left, region_.top, region_.right + 1, region_.bottom + 1,
                           region_.ellipse_width, region_.ellipse_height);
    // Once set, the region belongs to the system.
    if (region != nullptr && SetWindowRgn(hwnd_, region, TRUE) == 0) DeleteObject(region);
  }

  void ApplyHints();

  bool CallTray(DWORD action) {
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

  static void EnableWindows(const std::vector<HWND>& windows) {
    for (HWND window : windows) {
      if (IsWindow(window)) EnableWindow(window, TRUE);
    }
  }

  // Kept in step with what is set: the title and position are what the
  // handle is made with.
  WindowSpec spec_;
  WindowEvents& events_;
  HWND hwnd_ = nullptr;
  HBRUSH background_;
  struct RoundRegion {
    bool set = false;
    int left = 0, top = 0, right = 0, bottom = 0, ellipse_width = 0, ellipse_height = 0;
  } region_;
  std::vector<HintArea> hints_;
  std::vector<std::unique_ptr<Win32Control>> controls_;
  std::vector<Win32Control*> radio_buttons_;
  Win32Control* default_button_ = nullptr;
  Win32Control* cancel_button_ = nullptr;
  Win32Control* status_bar_ = nullptr;
  HWND last_focus_ = nullptr;
  HWND tooltip_ = nullptr;
  size_t hint_count_ = 0;
  bool tracking_mouse_ = false;
  bool mouse_pressed_ = false;
  int pointer_control_ = 0;
  std::vector<int> hot_keys_;
  bool tray_wanted_ = false;
  bool tray_added_ = false;
  std::wstring tray_hint_;
  bool modal_ = false;
  bool modal_ended_ = false;
  int modal_result_ = 0;
  std::vector<HWND> disabled_by_modal_;
};

// ---- The message loops ------------------------------------------------------

// Key previews, dialog keys and pointer changes, then the usual translation
// and dispatch. Shared by the main loop and the modal loops.
void DispatchOne(MSG& message) {
  HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  Win32Window* window = root != nullptr ? Win32Window::FromHandle(root) : nullptr;
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
  if (window != nullptr && Win32Window::FromHandle(root) == window && window->HasControls() &&
      IsDialogMessageW(root, &message)) {
    return;
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

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM lparam) {
  auto* found = reinterpret_cast<std::vector<HWND>*>(lparam);
  if (IsWindowVisible(window) && IsWindowEnabled(window)) found->push_back(window);
  return TRUE;
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

// ---- Controls -----------------------------------------------------------------

Control& Win32Window::AddControl(const ControlSpec& layout) {
  const wchar_t* class_name = L"BUTTON";
  DWORD style = WS_CHILD | WS_VISIBLE | (layout.tab_stop ? WS_TABSTOP : 0);
  DWORD ex_style = 0;
  // A mirrored window turns its controls' left into right by itself; in
  // another, right-to-left text is aligned right here.
  const bool mirrored = spec_.right_to_left;
  const bool rtl = layout.style.right_to_left && !mirrored;
  const DWORD text_wrap = layout.style.word_wrap ? SS_LEFT : SS_LEFTNOWORDWRAP;
  Rect bounds = layout.bounds;
  switch (layout.kind) {
    case ControlKind::Button:
      style |= layout.default_button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
      break;
    case ControlKind::CheckBox:
      style |= BS_AUTOCHECKBOX;
      break;
    case ControlKind::RadioButton:
      style |= BS_AUTORADIOBUTTON | (radio_buttons_.empty() ? WS_GROUP : 0);
      break;
    case ControlKind::Edit:
      class_name = L"EDIT";
      style |= ES_LEFT | ES_AUTOHSCROLL;
      ex_style |= WS_EX_CLIENTEDGE;
      break;
    case ControlKind::Text:
      class_name = L"STATIC";
      style |= rtl ? SS_RIGHT : text_wrap;
      break;
    case ControlKind::GroupBox:
      // Only a frame: the window's painting must show through, also where
      // WS_CLIPCHILDREN would leave it out.
      style |= BS_GROUPBOX;
      ex_style |= WS_EX_TRANSPARENT;
      break;
    case ControlKind::Picture:
      class_name = L"STATIC";
      style |= SS_OWNERDRAW;
      break;
    case ControlKind::Link:
      class_name = L"STATIC";
      style |= SS_NOTIFY | (rtl ? SS_RIGHT : text_wrap);
      break;
    case ControlKind::StatusBar:
      class_name = STATUSCLASSNAMEW;
      bounds = {};
      break;
    case ControlKind::TabControl:
      class_name = WC_TABCONTROLW;
      // The pages are siblings lying on it.
      style |= WS_CLIPSIBLINGS;
      break;
  }
  if (rtl || mirrored) ex_style |= WS_EX_RTLREADING;
  // The first control after the radio buttons starts a new group, so arrow
  // keys stay among the radio buttons.
  if (layout.kind != ControlKind::RadioButton && !controls_.empty() &&
      controls_.back()->Kind() == ControlKind::RadioButton) {
    style |= WS_GROUP;
  }
  controls_.push_back(std::make_unique<Win32Control>(
      layout, Win32Control::Recipe{class_name, style, ex_style, bounds}, *this));
  Win32Control* control = controls_.back().get();
  switch (layout.kind) {
    case ControlKind::RadioButton:
      radio_buttons_.push_back(control);
      control->radio_group = &radio_buttons_;
      break;
    case ControlKind::StatusBar:
      status_bar_ = control;
      break;
    default:
      break;
  }
  if (layout.default_button) default_button_ = control;
  if (layout.cancel_button) cancel_button_ = control;
  if (hwnd_ != nullptr) control->Realize(hwnd_);
  return *control;
}

void Win32Window::SetHints(const std::vector<HintArea>& hints) {
  hints_ = hints;
  if (hwnd_ != nullptr) ApplyHints();
}

void Win32Window::ApplyHints() {
  if (tooltip_ == nullptr) {
    if (hints_.empty()) return;
    tooltip_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, Instance(), nullptr);
    if (tooltip_ == nullptr) return;
  }
  // Without a manifest the older tool layout is the one every version takes.
  TTTOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = hwnd_;
  for (size_t i = 0; i < hint_count_; ++i) {
    tool.uId = i + 1;
    SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  hint_count_ = 0;
  for (const HintArea& hint : hints_) {
    std::wstring text = W(hint.text);
    tool.uFlags = TTF_SUBCLASS;
    tool.uId = ++hint_count_;
    tool.rect = ToRECT(hint.rect);
    tool.lpszText = text.data();
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

HWND Win32Window::Realize() {
  if (hwnd_ != nullptr) return hwnd_;
  const RECT frame = Frame();
  HWND owner = nullptr;
  if (spec_.owner != nullptr) owner = static_cast<Win32Window*>(spec_.owner)->Realize();
  // WM_NCCREATE binds the object and sets hwnd_.
  const DWORD ex_style = spec_.right_to_left ? WS_EX_LAYOUTRTL | WS_EX_RTLREADING : 0;
  const HWND created = CreateWindowExW(ex_style, W(spec_.class_name).c_str(),
                                       W(spec_.title).c_str(), StyleBits(spec_.style),
                                       spec_.position.x, spec_.position.y, frame.right - frame.left,
                                       frame.bottom - frame.top, owner, nullptr, Instance(), this);
  const DWORD error = GetLastError();
  if (created == nullptr) {
    // A window that got as far as WM_NCCREATE and was then destroyed leaves
    // a handle behind that must not be used (as another window's owner).
    hwnd_ = nullptr;
    std::string reason =
        "window " + spec_.class_name + " not created, error " + std::to_string(error);
    if (owner != nullptr && !IsWindow(owner)) {
      reason += " (its owner " + static_cast<Win32Window*>(spec_.owner)->spec_.class_name +
                " is no longer a window)";
    }
    throw std::runtime_error(reason);
  }
  Windows()[hwnd_] = this;
  if (region_.set) ApplyRegion();
  // In the order they were added: that is the tab order.
  for (const auto& control : controls_) control->Realize(hwnd_);
  if (!hints_.empty()) ApplyHints();
  return hwnd_;
}

void Win32Control::SetFocus() {
  if (handle_ == nullptr) owner_.Realize();
  ::SetFocus(handle_);
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
    events_.Message(message);
    return 0;
  }
  if (message == TaskbarCreatedMessage()) {
    // The task bar came back (Explorer restarted) without our icon, or the
    // first attempt was made before it existed.
    if (tray_wanted_) tray_added_ = CallTray(NIM_ADD);
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
      if (!tracking_mouse_) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd_, 0};
        tracking_mouse_ = TrackMouseEvent(&track) != FALSE;
      }
      SetPointerControl(0);
      events_.MouseMove(ClientPoint(lparam));
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
        ::KillTimer(hwnd_, kTrayAddTimer);
        if (tray_wanted_ && !tray_added_) tray_added_ = CallTray(NIM_ADD);
        return 0;
      }
      events_.Timer(static_cast<int>(wparam));
      return 0;
    case WM_HOTKEY:
      events_.HotKey(static_cast<int>(wparam));
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

void Win32Window::PaintInto(HDC target, const RECT& client) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  if (width <= 0 || height <= 0) return;
  // Drawn off screen first, so that nothing flickers.
  HDC memory = CreateCompatibleDC(target);
  HBITMAP buffer = CreateCompatibleBitmap(target, width, height);
  HGDIOBJ old_bitmap = SelectObject(memory, buffer);
  FillRect(memory, &client, background_);
  Win32Canvas canvas(memory);
  events_.Paint(canvas);
  BitBlt(target, 0, 0, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old_bitmap);
  DeleteObject(buffer);
  DeleteDC(memory);
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
  const Point point = ClientPoint(lparam);
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

void Win32Window::Command(WPARAM wparam, LPARAM lparam) {
  const int id = LOWORD(wparam);
  const int code = HIWORD(wparam);
  if (lparam == 0) {
    // From the dialog keys: IDOK without a default button, IDCANCEL for Esc.
    Win32Control* target = id == IDCANCEL ? cancel_button_ : id == IDOK ? default_button_ : nullptr;
    if (target != nullptr && IsWindowEnabled(target->Handle())) events_.Command(target->Id());
    return;
  }
  Win32Control* control = ControlOf(reinterpret_cast<HWND>(lparam));
  if (control == nullptr) return;
  // BN_CLICKED and STN_CLICKED are both 0.
  if (code != BN_CLICKED) return;
  switch (control->Kind()) {
    case ControlKind::RadioButton:
      control->SetChecked(true);
      [[fallthrough]];
    case ControlKind::Button:
    case ControlKind::CheckBox:
    case ControlKind::Link:
      events_.Command(control->Id());
      break;
    default:
      break;
  }
}

LRESULT Win32Window::ControlColour(HDC dc, HWND child, UINT message, WPARAM wparam, LPARAM lparam) {
  Win32Control* control = ControlOf(child);
  // Edits (read-only or disabled ones ask here too) and push buttons keep the
  // system's colours.
  if (control == nullptr || control->Kind() == ControlKind::Edit ||
      control->Kind() == ControlKind::Button) {
    return Default(message, wparam, lparam);
  }
  const Colour text =
      control->Kind() == ControlKind::Link ? Rgb(0, 0, 255) : control->Layout().style.colour;
  SetTextColor(dc, ToColorRef(text));
  SetBkColor(dc, ToColorRef(spec_.background));
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<LRESULT>(background_);
}

void Win32Window::DrawPicture(const DRAWITEMSTRUCT& item) {
  Win32Control* control = ControlOf(item.hwndItem);
  // A mirrored window keeps its pictures the right way round.
  if (spec_.right_to_left) SetLayout(item.hDC, LAYOUT_RTL | LAYOUT_BITMAPORIENTATIONPRESERVED);
  FillRect(item.hDC, &item.rcItem, background_);
  if (control != nullptr)
    DrawPixels(item.hDC, control->Picture(), {item.rcItem.left, item.rcItem.top});
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

// ---- The system ---------------------------------------------------------------

HWND HandleOf(Window* window) {
  auto* ours = dynamic_cast<Win32Window*>(window);
  return ours != nullptr ? ours->Realize() : nullptr;
}

class Win32GuiSystem : public GuiSystem {
 public:
  Win32GuiSystem() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    platform::AttachSynchronizedCallsToMessageLoop();
  }

  std::unique_ptr<Window> NewWindow(const WindowSpec& layout, WindowEvents& events) override {
    return std::make_unique<Win32Window>(layout, events);
  }

  int RunMessageLoop() override { return RunLoop(); }

  // Posts WM_QUIT on the window thread, from there or through its
  // message-only window.
  void QuitMessageLoop(int exit_code) override { platform::QuitMessageLoop(exit_code); }

  MessageBoxResult ShowMessageBox(Window* owner, const std::string& text, const std::string& title,
                                  MessageBoxButtons buttons, MessageBoxIcon icon) override {
    HWND owner_handle = HandleOf(owner);
    UINT flags = buttons == MessageBoxButtons::YesNo ? MB_YESNO : MB_OK;
    switch (icon) {
      case MessageBoxIcon::Question:
        flags |= MB_ICONQUESTION;
        break;
      case MessageBoxIcon::Error:
        flags |= MB_ICONERROR;
        break;
      case MessageBoxIcon::Information:
        flags |= MB_ICONINFORMATION;
        break;
      case MessageBoxIcon::None:
        break;
    }
    if (owner_handle == nullptr) flags |= MB_TASKMODAL;
    switch (MessageBoxW(owner_handle, W(text).c_str(), W(title).c_str(), flags)) {
      case IDYES:
        return MessageBoxResult::Yes;
      case IDNO:
        return MessageBoxResult::No;
      case IDOK:
        return MessageBoxResult::Ok;
      default:
        return MessageBoxResult::Cancel;
    }
  }

  void ShellOpen(Window* owner, const std::string& target, ShowCommand show) override {
    ShellExecuteW(HandleOf(owner), L"open", W(target).c_str(), nullptr, nullptr,
                  show == ShowCommand::Hidden ? SW_HIDE : SW_SHOWNORMAL);
  }

  Rect WorkArea() const override { return SystemWorkArea(); }

  bool PostToWindowOfClass(const std::string& class_name, std::uint32_t message) override {
    HWND window = FindWindowW(W(class_name).c_str(), nullptr);
    return window != nullptr && PostMessageW(window, message, 0, 0) != FALSE;
  }

  bool AddFontFile(const std::string& path) override {
    if (AddFontResourceW(W(path).c_str()) == 0) return false;
    // Bounded: a hung window must not hang us.
    SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 1000, nullptr);
    return true;
  }

  // Laid out as DrawString lays it out: the same font choice and format.
  std::optional<Size> MeasureText(const std::string& text, const TextStyle& style,
                                  int wrap_width) override {
    MeasuringDC dc;
    if (dc.Get() == nullptr) return std::nullopt;
    const std::wstring wide = W(text);
    HGDIOBJ old_font = SelectFontFor(dc.Get(), style, wide);
    RECT area = {0, 0, style.word_wrap ? std::max(wrap_width, 1) : 0, 0};
    const int height = DrawTextW(dc.Get(), wide.c_str(), static_cast<int>(wide.size()), &area,
                                 TextFormat(style) | DT_CALCRECT);
    SelectObject(dc.Get(), old_font);
    if (height == 0 && !wide.empty()) return std::nullopt;
    return Size{area.right - area.left, area.bottom - area.top};
  }

  bool FaceDraws(const TextStyle& style, const std::string& text) override {
    MeasuringDC dc;
    if (dc.Get() == nullptr) return true;
    HGDIOBJ old_font = SelectObject(dc.Get(), CachedFont(style));
    const bool draws = HasAllGlyphs(dc.Get(), W(text));
    SelectObject(dc.Get(), old_font);
    return draws;
  }
};

}  // namespace

std::unique_ptr<GuiSystem> CreateDefaultGui() { return std::make_unique<Win32GuiSystem>(); }

}  // namespace gui
