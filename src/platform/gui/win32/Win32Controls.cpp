// Native controls: buttons, check and radio boxes, edits, statics, group
// boxes, pictures, links, the status bar and tab controls, their commands and
// colours, and the tooltips over a window's client area.
#include <windows.h>
// The common controls after windows.h.
#include <commctrl.h>

#include <string>
#include <vector>

#include "platform/gui/win32/Win32GuiInternal.h"
#include "platform/win32/Wide.h"

namespace gui::win32 {

using platform::win32::U;
using platform::win32::W;

// ---- A control ------------------------------------------------------------------

bool LoadCommonControls() {
  static const bool loaded = [] {
    HMODULE library = LoadLibraryW(L"comctl32.dll");
    if (library == nullptr) return false;
    using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const auto init = reinterpret_cast<Init>(
        reinterpret_cast<void*>(GetProcAddress(library, "InitCommonControlsEx")));
    const INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    return init != nullptr && init(&controls) != FALSE;
  }();
  return loaded;
}

void Win32Control::Realize(HWND parent) {
  if (handle_ != nullptr) return;
  // A class that is not there fails the creation below with its error.
  if (spec_.kind == ControlKind::StatusBar || spec_.kind == ControlKind::TabControl) {
    LoadCommonControls();
  }
  const DWORD style =
      (recipe_.style & ~WS_VISIBLE) | (visible_ ? WS_VISIBLE : 0) | (enabled_ ? 0 : WS_DISABLED);
  const bool status_bar = spec_.kind == ControlKind::StatusBar;
  SetLastError(ERROR_SUCCESS);
  handle_ = CreateWindowExW(
      recipe_.ex_style, recipe_.class_name, status_bar ? L"" : W(text_).c_str(), style,
      recipe_.bounds.left, recipe_.bounds.top, recipe_.bounds.width, recipe_.bounds.height, parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec_.id + kControlIdBase)), Instance(),
      nullptr);
  if (handle_ == nullptr) {
    const DWORD error = GetLastError();
    throw WindowError("control " + std::to_string(spec_.id) + " of " + owner_.ClassName() +
                      " not created, " +
                      (error != ERROR_SUCCESS ? "error " + std::to_string(error)
                                              : std::string("no error given")));
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

void Win32Control::SetText(const std::string& text) {
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

std::string Win32Control::Text() const {
  // The user edits only what has a handle; a status bar's text is ours.
  if (handle_ == nullptr || spec_.kind == ControlKind::StatusBar) return text_;
  return U(WindowText(handle_));
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

bool Win32Control::Checked() const {
  if (handle_ == nullptr) return checked_;
  return SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Control::SetVisible(bool visible) {
  visible_ = visible;
  if (handle_ != nullptr) ShowWindow(handle_, visible ? SW_SHOW : SW_HIDE);
}

void Win32Control::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (handle_ != nullptr) EnableWindow(handle_, enabled ? TRUE : FALSE);
}

void Win32Control::SetFocus() {
  if (handle_ == nullptr) owner_.Realize();
  ::SetFocus(handle_);
}

void Win32Control::SetBitmap(const Bitmap& bitmap) {
  bitmap_ = bitmap;
  if (handle_ != nullptr) InvalidateRect(handle_, nullptr, FALSE);
}

void Win32Control::SetItems(const std::vector<std::string>& items) {
  if (spec_.kind != ControlKind::TabControl) return;
  items_ = items;
  selected_ = items.empty() ? -1 : 0;
  if (handle_ != nullptr) InsertItems();
}

void Win32Control::SetSelected(int index) {
  if (spec_.kind != ControlKind::TabControl) return;
  selected_ = index;
  if (handle_ != nullptr) SendMessageW(handle_, TCM_SETCURSEL, index, 0);
}

int Win32Control::Selected() const {
  if (spec_.kind != ControlKind::TabControl) return -1;
  if (handle_ == nullptr) return selected_;
  return static_cast<int>(SendMessageW(handle_, TCM_GETCURSEL, 0, 0));
}

void Win32Control::InsertItems() {
  SendMessageW(handle_, TCM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < items_.size(); ++i) {
    std::wstring caption = W(items_[i]);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(handle_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
}

void Win32Control::RedrawParentUnder() {
  HWND parent = GetParent(handle_);
  RECT area;
  GetWindowRect(handle_, &area);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
  RedrawWindow(parent, &area, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

// ---- A window's controls -----------------------------------------------------------

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
    case ControlKind::MultiLineEdit:
      class_name = L"EDIT";
      style |= ES_LEFT | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN |
               WS_VSCROLL | WS_HSCROLL;
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

Control* Win32Window::FindControl(int id) {
  for (const auto& control : controls_) {
    if (control->Id() == id) return control.get();
  }
  return nullptr;
}

Win32Control* Win32Window::ControlOf(HWND child) const {
  if (child == nullptr) return nullptr;
  for (const auto& control : controls_) {
    if (control->Handle() == child) return control.get();
  }
  return nullptr;
}

void Win32Window::PointerOver(HWND child) {
  const Win32Control* control = ControlOf(child);
  SetPointerControl(control != nullptr ? control->Id() : 0);
}

void Win32Window::Command(WPARAM wparam, LPARAM lparam) {
  const int id = LOWORD(wparam);
  const int code = HIWORD(wparam);
  if (lparam == 0) {
    // From the dialog keys: IDOK without a default button, IDCANCEL for Esc.
    // Anything else without a control (a menu, an accelerator, another
    // program) names nothing of ours.
    if (DialogKeysWindow() != hwnd_) return;
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
      control->Kind() == ControlKind::MultiLineEdit || control->Kind() == ControlKind::Button) {
    return Default(message, wparam, lparam);
  }
  const Colour text =
      control->Kind() == ControlKind::Link ? Rgb(0, 0, 255) : control->Layout().style.colour;
  SetTextColor(dc, ToColorRef(text));
  SetBkColor(dc, ToColorRef(spec_.background));
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<LRESULT>(background_);
}

// ---- Tooltips --------------------------------------------------------------------

void Win32Window::SetHints(const std::vector<HintArea>& hints) {
  hints_ = hints;
  if (hwnd_ != nullptr) ApplyHints();
}

void Win32Window::ApplyHints() {
  if (tooltip_ == nullptr) {
    // Made once the pointer first comes over the window: hints are for the
    // pointer alone, and most starts never need them.
    if (hints_.empty() || !pointer_came_ || !LoadCommonControls()) return;
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

}  // namespace gui::win32
