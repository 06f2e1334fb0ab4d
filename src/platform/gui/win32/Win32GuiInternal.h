// What the files of the Win32 window backend share: the window and control
// objects, the helpers for drawing and the message loops. Everything runs on
// the window thread; the windows of the thread are found through one map from
// handle to object, so the message loops (the main one and the modal ones)
// can give key previews, dialog keys and pointer changes to the right window.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/gui/Gui.h"

namespace gui::win32 {

// The system ids of child controls lie above IDOK, IDCANCEL and the other
// dialog ids, so that Enter and Esc never reach a control that merely shares
// its number with one of them.
inline constexpr int kControlIdBase = 0x1000;

// Private messages of our windows.
inline constexpr UINT kTrayMessage = WM_APP + 0x60;
// Posted by a window object destroyed inside one of its own handlers: the
// handle goes once the handler has returned.
inline constexpr UINT kDestroyLaterMessage = WM_APP + 0x61;
inline constexpr UINT kTrayIconId = 1;
// The first NIM_ADD waits on the shell (tens of milliseconds under Wine);
// it is made on this timer, which fires only when no paint is pending, so
// a window shown at start paints first. Forms number their timers from 1.
inline constexpr UINT_PTR kTrayAddTimer = 0x7E01;
// Posted to itself by a window that got one of its WindowSpec::messages: the
// event follows once what is queued before it has been seen, so a flood of
// the same message costs one event.
inline constexpr UINT kListedMessageDue = WM_APP + 0x62;

// ---- The system (Win32GuiSystem.cpp) ------------------------------------------

HINSTANCE Instance();
HICON ProgramIcon();
Rect SystemWorkArea();
// The handle of a window of this backend, made if need be; null for none.
HWND HandleOf(Window* window);

// ---- Drawing (Win32Canvas.cpp) ------------------------------------------------

inline COLORREF ToColorRef(Colour colour) {
  return RGB((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
}
inline RECT ToRECT(const Rect& rect) { return {rect.left, rect.top, rect.Right(), rect.Bottom()}; }
inline Rect FromRECT(const RECT& rect) {
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

// Loads the common controls library and registers its tab, status bar and
// tooltip classes, once; whether they are there. Called before the first
// such window is made, so a program that shows none at start never carries
// the library (a megabyte resident).
bool LoadCommonControls();

// One font per face, height, weight and underline, kept for the life of the
// program.
HFONT CachedFont(const TextStyle& style, bool underline = false);
void DrawPixels(HDC dc, const Bitmap& bitmap, Point at);
// Whether the font selected into the DC has a glyph for every character
// (blanks and control characters aside).
bool HasAllGlyphs(HDC dc, const std::wstring& text);
// Selects the style's font into the DC, or, when its face lacks a character
// of the text (a display font for Latin text showing a translation), the
// same size in a face the system has for every script; the old font.
HGDIOBJ SelectFontFor(HDC dc, const TextStyle& style, const std::wstring& text);
// DrawTextW's format for a style: alignment and reading order are the
// style's own, whatever the system's locale.
UINT TextFormat(const TextStyle& style);

class Win32Canvas : public Canvas {
 public:
  explicit Win32Canvas(HDC dc) : dc_(dc) {}
  void FillRect(const Rect& rect, Colour colour) override;
  void DrawBitmap(const Bitmap& bitmap, Point at) override;
  void DrawString(const std::string& text, const Rect& rect, const TextStyle& style) override;

 private:
  HDC dc_;
};

// ---- Windows and message loops (Win32Window.cpp) -------------------------------

class Win32Window;

std::wstring WindowText(HWND window);
std::uint16_t ShiftState();

// The live windows of the window thread.
std::unordered_map<HWND, Win32Window*>& Windows();

// The handles whose window procedure is running now (nested when handlers
// pump messages): a window object deleted from one of them defers the handle.
std::vector<HWND>& HandlesInHandler();

DWORD StyleBits(WindowStyle style);
// Registers the window class `name` of this module with `procedure` unless
// it is already; its atom, or 0 (the system's error set) when the system
// refused or a class of that name has another procedure.
ATOM RegisterClassOnDemand(const std::wstring& name, WNDPROC procedure);

// Key previews, dialog keys and pointer changes, then the usual translation
// and dispatch. Shared by the main loop and the modal loops.
void DispatchOne(MSG& message);
int RunLoop();

// The window whose dialog keys (Enter, Esc) IsDialogMessageW is working on
// now, or null: a command without a control (IDOK, IDCANCEL) counts only
// from there.
HWND DialogKeysWindow();

// ---- Controls (Win32Controls.cpp) ---------------------------------------------

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

  void SetText(const std::string& text) override;
  std::string Text() const override;
  void SetChecked(bool checked) override;
  bool Checked() const override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled) override;
  // The focus needs the window: it is made here if it is not yet.
  void SetFocus() override;
  void SetBitmap(const Bitmap& bitmap) override;
  void SetItems(const std::vector<std::string>& items) override;
  void SetSelected(int index) override;
  int Selected() const override;

  // Set by the window: the other radio buttons of the group.
  std::vector<Win32Control*>* radio_group = nullptr;

 private:
  void InsertItems();
  void RedrawParentUnder();

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

// ---- A top-level window ---------------------------------------------------------

// Its handle, and its controls' handles, are made when something first needs
// them (shown, a timer, a hot key, the tray, a menu): the auxiliary windows
// made at start-up cost nothing until they are opened, and the main window
// paints sooner. Windows that take messages from other programs
// (WindowSpec::messages) are made at once, so those find them.
//
// Its members are defined by concern: the window itself, its painting, its
// controls, its tray icon, hot keys and menu, in the files named so.
class Win32Window : public Window {
 public:
  Win32Window(const WindowSpec& layout, WindowEvents& events);
  ~Win32Window() override;

  // Makes the handle (and its owner's, and its controls') if it is not made
  // yet; throws when the system refuses.
  HWND Realize();

  static Win32Window* FromHandle(HWND handle);

  HWND Handle() const { return hwnd_; }
  const std::string& ClassName() const { return spec_.class_name; }
  bool HasControls() const { return !controls_.empty(); }

  // Window
  void Show() override;
  void Hide() override;
  bool Visible() const override;
  bool Active() const override;
  Rect Bounds() const override;
  void SetPosition(Point position) override;
  void SetTitle(const std::string& title) override;
  std::string Title() const override;
  void SetRoundRectRegion(int left, int top, int right, int bottom, int ellipse_width,
                          int ellipse_height) override;
  void Invalidate() override;
  void SetTimer(int id, std::uint32_t interval_ms) override;
  void KillTimer(int id) override;
  bool RegisterHotKey(int id, std::uint16_t shortcut) override;
  void UnregisterHotKey(int id) override;
  bool AddTrayIcon(const std::string& hint) override;
  void SetTrayHint(const std::string& hint) override;
  void RemoveTrayIcon() override;
  int PopupMenu(const std::vector<MenuItem>& items, Point screen) override;
  int ShowModal() override;
  void EndModal(int result) override;
  bool InModal() const override { return modal_; }
  Control& AddControl(const ControlSpec& layout) override;
  Control* FindControl(int id) override;
  void SetHints(const std::vector<HintArea>& hints) override;

  // Called by the message loops for messages aimed at a control of this
  // window; true when the message was eaten.
  bool PreviewKey(const MSG& message);
  void PointerOver(HWND child);

 private:
  static LRESULT CALLBACK Procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Default(UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(hwnd_, message, wparam, lparam);
  }

  // Painting (Win32Canvas.cpp).
  void PaintInto(HDC target, const RECT& client);
  void DrawPicture(const DRAWITEMSTRUCT& item);

  // The window (Win32Window.cpp).
  LRESULT HitTest(LPARAM lparam);
  void MouseButton(UINT message, LPARAM lparam);
  void Activate(WPARAM wparam);
  void SetPointerControl(int id);
  // A WM_TIMER for `id`: whether it is one the window armed and not more
  // often than that timer ticks.
  bool TimerDue(UINT_PTR id);
  // One of WindowSpec::messages arrived; the event comes once per flood.
  void ListedMessage(UINT message);
  // The whole window's size for the client size asked for.
  RECT Frame() const;
  void ApplyRegion();
  static void EnableWindows(const std::vector<HWND>& windows);

  // Controls (Win32Controls.cpp).
  void Command(WPARAM wparam, LPARAM lparam);
  LRESULT ControlColour(HDC dc, HWND child, UINT message, WPARAM wparam, LPARAM lparam);
  Win32Control* ControlOf(HWND child) const;
  void ApplyHints();

  // Tray icon and hot keys (Win32TrayAndHotKeys.cpp).
  void Tray(LPARAM lparam);
  // The delayed first NIM_ADD (kTrayAddTimer) is due.
  void AddTrayIconNow();
  // The task bar came back (Explorer restarted) without our icon, or the
  // first attempt was made before it existed.
  void TaskbarCreated();
  bool CallTray(DWORD action);

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
  // Whether the pointer has moved over the client area: the tooltip waits
  // for it.
  bool pointer_came_ = false;
  size_t hint_count_ = 0;
  bool tracking_mouse_ = false;
  bool mouse_pressed_ = false;
  int pointer_control_ = 0;
  // The timers armed with SetTimer, each with a budget of ticks that grows
  // by one per interval up to two: a timer never ticks more often, so a
  // WM_TIMER beyond the budget was posted by someone else.
  struct ArmedTimer {
    std::uint32_t interval_ms = 0;
    double budget = 1;
    std::chrono::steady_clock::time_point since;
  };
  std::map<int, ArmedTimer> timers_;
  // Listed messages whose event is queued (kListedMessageDue).
  std::set<UINT> listed_pending_;
  std::vector<int> hot_keys_;
  bool tray_wanted_ = false;
  bool tray_added_ = false;
  bool tray_add_armed_ = false;  // kTrayAddTimer runs
  std::wstring tray_hint_;
  bool modal_ = false;
  bool modal_ended_ = false;
  int modal_result_ = 0;
  std::vector<HWND> disabled_by_modal_;
};

// ---- Tray icon and hot keys (Win32TrayAndHotKeys.cpp) ---------------------------

// Sent to top-level windows when the task bar (re)appears.
UINT TaskbarCreatedMessage();

}  // namespace gui::win32
