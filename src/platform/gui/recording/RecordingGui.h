// The recording backend of the window layer: no operating-system calls at
// all. It keeps what would be shown (windows, their painting, controls, the
// tray icon, menus, dialogs) as a stable text description, and lets a test
// click, drag, press hot keys and keys, open the tray menu, answer the next
// menu, modal dialog or message box, and advance a driven clock so that
// timers fire in order without sleeping.
//
// With the real clock it also serves a program without a window system: its
// message loop waits for synchronized calls and fires timers as time passes.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gui/Gui.h"

namespace gui {

class RecordingGui;

class RecordingControl : public Control {
 public:
  RecordingControl(class RecordingWindow& owner, const ControlSpec& layout);
  int Id() const override { return spec_.id; }
  void SetText(const std::string& text) override { text_ = text; }
  std::string Text() const override { return text_; }
  void SetChecked(bool checked) override;
  bool Checked() const override { return checked_; }
  void SetVisible(bool visible) override { visible_ = visible; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  void SetFocus() override;
  void SetBitmap(const Bitmap& bitmap) override { bitmap_source_ = bitmap.source; }
  void SetItems(const std::vector<std::string>& items) override { items_ = items; }
  void SetSelected(int index) override { selected_ = index; }
  int Selected() const override { return selected_; }

  const ControlSpec& Layout() const { return spec_; }
  bool IsVisible() const { return visible_; }
  bool IsEnabled() const { return enabled_; }
  std::string Describe() const;

 private:
  RecordingWindow& owner_;
  ControlSpec spec_;
  std::string text_;
  bool checked_ = false;
  bool visible_ = true;
  bool enabled_ = true;
  std::string bitmap_source_;
  std::vector<std::string> items_;
  int selected_ = 0;
};

class RecordingWindow : public Window {
 public:
  RecordingWindow(RecordingGui& gui, const WindowSpec& layout, WindowEvents& events);
  ~RecordingWindow() override;

  void Show() override;
  void Hide() override;
  bool Visible() const override { return visible_; }
  bool Active() const override;
  Rect Bounds() const override { return bounds_; }
  void SetPosition(Point position) override;
  void SetTitle(const std::string& title) override { title_ = title; }
  std::string Title() const override { return title_; }
  void SetRoundRectRegion(int left, int top, int right, int bottom, int ellipse_width,
                          int ellipse_height) override;
  void Invalidate() override { ++invalidations_; }
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
  bool InModal() const override { return in_modal_; }
  Control& AddControl(const ControlSpec& layout) override;
  Control* FindControl(int id) override;
  void SetHints(const std::vector<HintArea>& hints) override { hints_ = hints; }

  const WindowSpec& Layout() const { return spec_; }
  WindowEvents& Events() { return events_; }
  bool HasTrayIcon() const { return tray_; }
  const std::string& TrayHint() const { return tray_hint_; }
  // Whether a timer runs, and its interval.
  bool TimerRunning(int id) const { return timers_.count(id) != 0; }
  std::uint32_t TimerInterval(int id) const;
  const std::vector<HintArea>& Hints() const { return hints_; }
  int Invalidations() const { return invalidations_; }
  std::vector<RecordingControl*> Controls();

  // The window as text: a header line, then what its painting draws and its
  // controls, each line indented.
  std::string Describe() const;

 private:
  friend class RecordingGui;
  friend class RecordingControl;
  struct TimerState {
    std::uint32_t interval = 0;
    std::int64_t due = 0;
    std::uint64_t order = 0;  // ties fire in the order the timers were set
  };

  RecordingGui& gui_;
  WindowSpec spec_;
  WindowEvents& events_;
  std::string title_;
  Rect bounds_;
  bool visible_ = false;
  std::string region_;
  std::map<int, TimerState> timers_;
  std::map<int, std::uint16_t> hot_keys_;
  bool tray_ = false;
  std::string tray_hint_;
  bool in_modal_ = false;
  bool modal_ended_ = false;
  int modal_result_ = 0;
  std::vector<std::unique_ptr<RecordingControl>> controls_;
  int focused_control_ = 0;
  std::vector<HintArea> hints_;
  int invalidations_ = 0;
};

class RecordingGui : public GuiSystem {
 public:
  enum class ClockKind { Driven, Real };
  explicit RecordingGui(ClockKind clock = ClockKind::Driven);
  ~RecordingGui() override;

  // --- GuiSystem
  std::unique_ptr<Window> NewWindow(const WindowSpec& layout, WindowEvents& events) override;
  int RunMessageLoop() override;
  void QuitMessageLoop(int exit_code) override;
  MessageBoxResult ShowMessageBox(Window* owner, const std::string& text, const std::string& title,
                                  MessageBoxButtons buttons, MessageBoxIcon icon) override;
  void ShellOpen(Window* owner, const std::string& target, ShowCommand show) override;
  Rect WorkArea() const override { return work_area_; }
  bool PostToWindowOfClass(const std::string& class_name, std::uint32_t message) override;
  bool AddFontFile(const std::string& path) override;
  // As a test set it with SetFaceCoverage; faces it did not name draw every
  // character.
  bool FaceDraws(const TextStyle& style, const std::string& text) override;
  // Nothing unless a test gave it a way to lay out text (SetTextMeasure).
  std::optional<Size> MeasureText(const std::string& text, const TextStyle& style,
                                  int wrap_width) override;

  // --- Fonts
  // The characters a face has (blanks and control characters count as drawn
  // whatever it says).
  void SetFaceCoverage(const std::string& face, std::function<bool(char32_t)> has);
  // How MeasureText lays out text (a test's own, in real font files).
  using TextMeasure =
      std::function<std::optional<Size>(const std::string&, const TextStyle&, int wrap_width)>;
  void SetTextMeasure(TextMeasure measure) { measure_ = std::move(measure); }

  // --- The clock and the loop
  std::int64_t Now() const;
  // Moves the driven clock on by `ms`, delivering posted messages first and
  // then every timer that falls due, in order of due time. Handlers may set,
  // kill or re-set timers; a timer set inside runs from the time it was set.
  void AdvanceClock(std::int64_t ms);
  // Delivers the messages posted with PostToWindowOfClass.
  void DeliverPostedMessages();
  // Run by RunMessageLoop with the driven clock (the test's part of the loop);
  // without one the loop ends at once with the exit code given so far.
  void SetLoopScript(std::function<void()> script) { loop_script_ = std::move(script); }
  bool QuitRequested() const { return quit_requested_.load(); }
  int ExitCode() const { return exit_code_.load(); }
  void ResetQuit() { quit_requested_ = false; }

  // --- Finding windows
  RecordingWindow* FindWindow(const std::string& class_name) const;
  const std::vector<RecordingWindow*>& Windows() const { return windows_; }
  RecordingWindow* TrayWindow() const;

  // --- Input
  void MoveMouse(RecordingWindow& window, Point client);
  void LeaveWindow(RecordingWindow& window);
  void Press(RecordingWindow& window, Point client, MouseButton button = MouseButton::Left);
  void Release(RecordingWindow& window, Point client, MouseButton button = MouseButton::Left);
  // Move, press and release at one point.
  void Click(RecordingWindow& window, Point client, MouseButton button = MouseButton::Left);
  // A press at `from` moved by (dx, dy) and released: a press the window
  // answers with Caption moves the window (snapping as it says); any other
  // press stays with the window's mouse handlers.
  void Drag(RecordingWindow& window, Point from, int dx, int dy);
  // False when no window of this program holds the shortcut.
  bool PressHotKey(std::uint16_t shortcut);
  // Another program holds this shortcut: registering it fails.
  void HoldHotKeyElsewhere(std::uint16_t shortcut) { held_elsewhere_.push_back(shortcut); }
  // Tray icon events go to the window whose icon it is.
  bool TrayInput(TrayEvent event);
  void FailNextTrayIcon() { fail_tray_ = true; }
  // Key press: to KeyDown first when the window previews keys or has no
  // controls; Enter and Esc then press the default and cancel buttons.
  void PressKey(RecordingWindow& window, int key, std::uint16_t shift = 0);
  // Clicks a control: a check box flips, a radio button is checked and its
  // siblings cleared, then Command(id).
  void ClickControl(RecordingWindow& window, int id);
  void TypeText(RecordingWindow& window, int id, const std::string& text);
  void PointAtControl(RecordingWindow& window, int id);
  // The title-bar close box.
  void CloseByTitleBar(RecordingWindow& window);
  void SystemMinimize(RecordingWindow& window);
  void SetWorkArea(const Rect& area) { work_area_ = area; }

  // --- Answers for what waits for the user. Each is used once, in order.
  // The answerer runs inside the modal loop: it may click, type, advance the
  // clock or press hot keys, and ends the dialog with EndModal (or by a
  // control that does). An unanswered modal ends with 0.
  void AnswerNextModal(std::function<void(RecordingWindow&)> answerer);
  void AnswerNextModal(int result);
  void AnswerNextMessageBox(MessageBoxResult result, std::function<void()> while_open = nullptr);
  // The menu item to choose by id (0: dismiss), run inside the menu's loop.
  void AnswerNextMenu(int id, std::function<void()> while_open = nullptr);

  // --- What happened
  // Dialogs, message boxes, menus, shell opens and font files, one line each.
  const std::vector<std::string>& Events() const { return events_; }
  void ClearEvents() { events_.clear(); }
  // Every window in creation order, the tray icon and the registered hot keys.
  std::string Describe() const;
  // Called with each event line as it happens, and, while the real clock's
  // loop runs, with each line of the description that changed (a program
  // prints them).
  void SetEventSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

 private:
  friend class RecordingWindow;
  void Record(const std::string& line);
  void Forget(RecordingWindow* window);
  // The next timer to fire no later than `until`, or null.
  RecordingWindow* NextDueTimer(std::int64_t until, int& id) const;
  void FireTimer(RecordingWindow& window, int id);
  bool HotKeyTaken(std::uint16_t shortcut, const RecordingWindow* asking) const;
  void RunModal(RecordingWindow& window);
  // Tells the sink every line of the description that `shown` lacks.
  void ReportChanges(std::string& shown);

  ClockKind clock_;
  std::int64_t driven_now_ = 0;
  std::int64_t real_start_ = 0;
  std::uint64_t timer_order_ = 0;
  std::vector<RecordingWindow*> windows_;
  std::deque<std::pair<RecordingWindow*, std::uint32_t>> posted_;
  std::vector<std::uint16_t> held_elsewhere_;
  bool fail_tray_ = false;
  Rect work_area_{0, 0, 1024, 738};
  std::deque<std::function<void(RecordingWindow&)>> modal_answers_;
  std::deque<std::pair<MessageBoxResult, std::function<void()>>> box_answers_;
  std::deque<std::pair<int, std::function<void()>>> menu_answers_;
  std::vector<std::string> events_;
  std::function<void(const std::string&)> sink_;
  std::map<std::string, std::function<bool(char32_t)>> coverage_;
  TextMeasure measure_;
  std::function<void()> loop_script_;
  std::atomic<bool> quit_requested_{false};
  std::atomic<int> exit_code_{0};
  RecordingWindow* pressed_window_ = nullptr;
};

}  // namespace gui
