// The window layer: top-level windows with regions and hit testing, native
// dialog controls, timers, system-wide hot keys, the tray icon and its menu,
// modal loops, message boxes, the shell's "open" verb and font files.
//
// Portable code talks to a GuiSystem that is passed in: the Win32 backend
// makes the real calls; the recording backend (RecordingGui.h) makes none and
// lets tests drive everything, with a clock of their own. The shapes here are
// plain C++ so that another desktop backend can be added without touching
// the code above it. (Names avoid the Win32 API's macros: no CreateWindow,
// MessageBox or DrawText here.)
//
// Everything here runs on the window thread, except QuitMessageLoop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gui {

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

// Left, top, width and height, in pixels.
struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int Right() const { return left + width; }
  int Bottom() const { return top + height; }
  bool Contains(Point p) const {
    return p.x >= left && p.y >= top && p.x < Right() && p.y < Bottom();
  }
  bool operator==(const Rect&) const = default;
};

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

// 0x00RRGGBB.
using Colour = std::uint32_t;
constexpr Colour Rgb(int r, int g, int b) {
  return (static_cast<Colour>(r & 0xFF) << 16) | (static_cast<Colour>(g & 0xFF) << 8) |
         static_cast<Colour>(b & 0xFF);
}

// Decoded pixels, top row first, each 0x00RRGGBB. `source` names where the
// picture came from (a file name relative to the program), so a recording of
// what is drawn can say which picture it was.
struct Bitmap {
  std::string source;
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// Where text sits across its rectangle.
enum class TextAlign { Left, Centre, Right };

struct TextStyle {
  std::string face = "MS Sans Serif";
  int height = 11;           // character height in pixels
  bool cell_height = false;  // `height` is the whole cell, internal leading included
  bool bold = false;
  Colour colour = 0;
  bool right_to_left = false;  // right-to-left reading order (the language's, not the system's)
  bool word_wrap = false;
  TextAlign align = TextAlign::Left;
  bool middle = false;  // one line, centred from top to bottom
};

// What a window's painting is drawn on. Coordinates are client pixels.
class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual void FillRect(const Rect& rect, Colour colour) = 0;
  // Draws the whole bitmap with its top-left corner at `at`, clipped to the
  // window.
  virtual void DrawBitmap(const Bitmap& bitmap, Point at) = 0;
  // Transparent text inside `rect`, clipped to it, aligned as the style
  // says. Characters the style's face lacks are drawn in a face that has
  // them.
  virtual void DrawString(const std::string& text, const Rect& rect, const TextStyle& style) = 0;
};

enum class MouseButton { Left, Right, Middle };

// What a point of a window's client area is, for the system.
enum class HitArea {
  Client,   // mouse messages go to the window
  Caption,  // a press there drags the window
};

enum class TrayEvent {
  LeftDown,
  RightClick,  // button released
  LeftDoubleClick,
};

// A stored shortcut: the virtual-key code in the low byte, plus these.
inline constexpr std::uint16_t kShortcutShift = 0x2000;
inline constexpr std::uint16_t kShortcutCtrl = 0x4000;
inline constexpr std::uint16_t kShortcutAlt = 0x8000;
// "Ctrl+Shift+S" and so on, as menus show it.
std::string ShortcutText(std::uint16_t shortcut);

// Virtual-key codes the program uses.
inline constexpr int kKeyReturn = 13;
inline constexpr int kKeyEscape = 27;
inline constexpr int kKeyTab = 9;
inline constexpr int kKeyF1 = 112;

struct MenuItem {
  int id = 0;  // what PopupMenu returns when the item is chosen; 0 for a separator
  std::string caption;
  std::uint16_t shortcut = 0;  // shown beside the caption; 0: none
  bool is_default = false;     // drawn bold
  bool separator = false;
  bool enabled = true;
  bool right_to_left = false;  // the menu reads right to left (mirrored) when any item does
};

enum class ControlKind {
  Button,
  CheckBox,
  RadioButton,    // radio buttons of one window form one group
  Edit,           // one line
  MultiLineEdit,  // several lines, CR LF between them, with a vertical scroll bar
  Text,           // static text
  GroupBox,
  Picture,     // a bitmap, set with SetBitmap
  Link,        // text that reacts to clicks like a button
  StatusBar,   // one simple panel along the bottom edge; bounds are ignored
  TabControl,  // tabs named by SetItems; the pages are other controls
};

struct ControlSpec {
  ControlKind kind = ControlKind::Button;
  int id = 0;  // reported by Command; unique within the window
  Rect bounds;
  std::string text;  // "&" marks the accelerator letter
  TextStyle style;
  bool default_button = false;  // Enter presses it
  bool cancel_button = false;   // Esc presses it
  bool tab_stop = true;
};

class Control {
 public:
  virtual ~Control() = default;
  virtual int Id() const = 0;
  virtual void SetText(const std::string& text) = 0;
  virtual std::string Text() const = 0;
  virtual void SetChecked(bool checked) = 0;
  virtual bool Checked() const = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetFocus() = 0;
  virtual void SetBitmap(const Bitmap& bitmap) = 0;
  // Tab controls: the tab names, and which tab is selected.
  virtual void SetItems(const std::vector<std::string>& items) = 0;
  virtual void SetSelected(int index) = 0;
  virtual int Selected() const = 0;
};

// What a window tells its owner. Every handler has a default that does
// nothing (or the system's default answer).
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void Paint(Canvas& /*canvas*/) {}
  virtual HitArea HitTest(Point /*client*/) { return HitArea::Client; }
  virtual void MouseMove(Point /*client*/) {}
  // The pointer has left the client area.
  virtual void MouseLeave() {}
  virtual void MouseDown(MouseButton /*button*/, Point /*client*/) {}
  virtual void MouseUp(MouseButton /*button*/, Point /*client*/) {}
  // A press ended without a release reaching the window (another window took
  // the mouse).
  virtual void CaptureLost() {}
  // A key pressed while the window or one of its controls has the focus.
  // True: handled, the controls do not see it (windows with key_preview get
  // it before their controls).
  virtual bool KeyDown(int /*key*/, std::uint16_t /*shift*/) { return false; }
  virtual void Timer(int /*id*/) {}
  virtual void HotKey(int /*id*/) {}
  virtual void Tray(TrayEvent /*event*/, Point /*screen*/) {}
  // A message number listed in WindowSpec::messages arrived.
  virtual void Message(std::uint32_t /*message*/) {}
  // The window has moved; `bounds` is where it is now.
  virtual void Moved(const Rect& /*bounds*/) {}
  // The system minimised the window (for example from the task bar).
  virtual void Minimized() {}
  // The title-bar close box, Alt+F4 or the system menu's Close.
  virtual void CloseRequest() {}
  // A control was clicked (buttons, check boxes, radio buttons, links), a
  // tab was selected, or Enter/Esc pressed the default/cancel button.
  virtual void Command(int /*control_id*/) {}
  // The pointer is over another native control now (0: none).
  virtual void PointerOverControl(int /*control_id*/) {}
  virtual void Activated(bool /*active*/) {}
  // The user's session ends; the program should end too.
  virtual void EndSession() {}
};

enum class WindowStyle {
  Borderless,          // skinned windows: no frame, no caption
  Dialog,              // caption, a close box, fixed size
  DialogWithMinimize,  // and a minimise box
};

class Window;

struct WindowSpec {
  std::string class_name;  // the window class the system knows the window by
  std::string title;
  WindowStyle style = WindowStyle::Borderless;
  int client_width = 0;
  int client_height = 0;
  Point position;           // of the window's top-left corner, in screen pixels
  bool centred = false;     // centred on the desktop's work area when shown
  Window* owner = nullptr;  // owned windows stay above their owner, with no task-bar button
  Colour background = Rgb(240, 240, 240);
  // Snap to the work area's edges when dragged this close (0: no snapping).
  int snap_distance = 0;
  // Key presses reach KeyDown before the focused control.
  bool key_preview = false;
  // Laid out mirrored for a right-to-left language: controls placed from the
  // right edge, their text read right to left. (Skinned windows keep their
  // pictures; their labels say their own reading order.)
  bool right_to_left = false;
  // Window message numbers delivered to WindowEvents::Message; the first
  // instance's single-instance signal comes this way. Any program can send
  // them: on Windows the same message arriving again before its event has
  // run makes no second event, so a flood costs one.
  std::vector<std::uint32_t> messages;
};

enum class ShowCommand { Normal, Hidden };

// What a backend throws when the system will not make a window or a control
// (out of resources, no desktop): the program cannot go on without it. The
// text names the window's class and the system's error.
class WindowError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A backend may make the system's window when it is first needed rather than
// in NewWindow: then Show, ShowModal, SetTimer, RegisterHotKey, AddTrayIcon,
// PopupMenu and a control's SetFocus can throw WindowError too.
class Window {
 public:
  virtual ~Window() = default;

  virtual void Show() = 0;  // and bring to the front
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
  virtual bool Active() const = 0;
  virtual Rect Bounds() const = 0;  // the whole window, screen pixels
  virtual void SetPosition(Point position) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual std::string Title() const = 0;
  // Clips the window to a rounded rectangle covering the pixels from (left,
  // top) up to, not including, (right, bottom), with the corners' ellipse:
  // (0, 0, width, height) keeps the whole window but its corners.
  virtual void SetRoundRectRegion(int left, int top, int right, int bottom, int ellipse_width,
                                  int ellipse_height) = 0;
  // Asks for the whole client area to be painted again.
  virtual void Invalidate() = 0;

  // A timer that ticks every `interval_ms` until killed; setting it again
  // restarts its countdown. Ticks arrive as WindowEvents::Timer(id), also
  // inside modal loops; only for timers set and not killed, and no more often
  // than they tick, whatever other programs post to the window.
  virtual void SetTimer(int id, std::uint32_t interval_ms) = 0;
  virtual void KillTimer(int id) = 0;

  // A system-wide hot key (a stored shortcut). False when another program
  // holds it or the system refuses. WindowEvents::HotKey comes only for ids
  // registered here.
  virtual bool RegisterHotKey(int id, std::uint16_t shortcut) = 0;
  virtual void UnregisterHotKey(int id) = 0;

  // The program's icon in the tray, with a tooltip; events arrive as
  // WindowEvents::Tray. False when the system refused (the backend tries
  // again when the task bar comes back).
  virtual bool AddTrayIcon(const std::string& hint) = 0;
  virtual void SetTrayHint(const std::string& hint) = 0;
  virtual void RemoveTrayIcon() = 0;

  // Shows a menu at a screen point and waits for the choice: the item's id,
  // or 0 when the menu was dismissed.
  virtual int PopupMenu(const std::vector<MenuItem>& items, Point screen) = 0;

  // Shows the window modally: the other windows of the program are disabled
  // and a nested loop runs until EndModal. Returns EndModal's result; the
  // window is hidden again.
  virtual int ShowModal() = 0;
  virtual void EndModal(int result) = 0;
  virtual bool InModal() const = 0;

  // Native controls, owned by the window. Tab order is creation order.
  virtual Control& AddControl(const ControlSpec& layout) = 0;
  virtual Control* FindControl(int id) = 0;

  // Tooltips over parts of the client area (replaces the earlier set).
  struct HintArea {
    Rect rect;
    std::string text;
  };
  virtual void SetHints(const std::vector<HintArea>& hints) = 0;
};

enum class MessageBoxButtons { Ok, YesNo };
enum class MessageBoxIcon { None, Question, Error, Information };
enum class MessageBoxResult { Ok, Yes, No, Cancel };

class GuiSystem {
 public:
  virtual ~GuiSystem() = default;

  // Throws WindowError when the system refuses the window (see Window).
  virtual std::unique_ptr<Window> NewWindow(const WindowSpec& layout, WindowEvents& events) = 0;

  // Runs the message loop until QuitMessageLoop; returns its exit code.
  // Synchronized calls from workers are served while it runs.
  virtual int RunMessageLoop() = 0;
  // Ends the outermost loop once the running handlers have returned (also
  // from inside a modal loop, which ends first). Any thread.
  virtual void QuitMessageLoop(int exit_code) = 0;

  virtual MessageBoxResult ShowMessageBox(Window* owner, const std::string& text,
                                          const std::string& title, MessageBoxButtons buttons,
                                          MessageBoxIcon icon) = 0;

  // The shell's "open" verb on a file, folder or address; the result is not
  // reported.
  virtual void ShellOpen(Window* owner, const std::string& target, ShowCommand show) = 0;

  // The desktop's work area (without the task bar), screen pixels.
  virtual Rect WorkArea() const = 0;

  // Posts `message` with both parameters 0 to the first top-level window of
  // that class; false when there is none.
  virtual bool PostToWindowOfClass(const std::string& class_name, std::uint32_t message) = 0;

  // Adds a font file to the system's font table for this session and tells
  // every top-level window that the fonts changed; false when the system
  // refused the file.
  virtual bool AddFontFile(const std::string& path) = 0;

  // The room `text` takes in `style` as DrawString draws it: one line, or
  // with word_wrap the lines it breaks into within `wrap_width`. Nothing
  // from a backend that lays out no text.
  virtual std::optional<Size> MeasureText(const std::string& /*text*/, const TextStyle& /*style*/,
                                          int /*wrap_width*/) {
    return std::nullopt;
  }
  // Whether the style's face itself has a glyph for every character of
  // `text` (blanks and control characters aside), so that DrawString needs
  // no other face for it.
  virtual bool FaceDraws(const TextStyle& /*style*/, const std::string& /*text*/) { return true; }
};

// The backend of this build: Win32 on Windows; elsewhere the recording
// backend running on the real clock (a program without a window system).
std::unique_ptr<GuiSystem> CreateDefaultGui();

// Where a window dragged to `proposed` ends up when it snaps to the edges of
// `work_area` from `distance` pixels away.
Rect SnapToWorkArea(const Rect& proposed, const Rect& work_area, int distance);

}  // namespace gui
