#include "platform/gui/recording/RecordingGui.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/Text.h"
#include "platform/Thread.h"

namespace gui {

namespace {

std::string PointText(int x, int y) { return std::to_string(x) + "," + std::to_string(y); }

std::string RectText(const Rect& r) {
  return PointText(r.left, r.top) + " " + std::to_string(r.width) + "x" + std::to_string(r.height);
}

std::string ColourText(Colour colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(colour & 0xFFFFFF));
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Button:
      return "button";
    case ControlKind::CheckBox:
      return "checkbox";
    case ControlKind::RadioButton:
      return "radio";
    case ControlKind::Edit:
      return "edit";
    case ControlKind::MultiLineEdit:
      return "memo";
    case ControlKind::Text:
      return "text";
    case ControlKind::GroupBox:
      return "group";
    case ControlKind::Picture:
      return "picture";
    case ControlKind::Link:
      return "link";
    case ControlKind::StatusBar:
      return "statusbar";
    case ControlKind::TabControl:
      return "tabs";
  }
  return "control";
}

// Records what a window's painting draws, one line per call.
class RecordingCanvas : public Canvas {
 public:
  explicit RecordingCanvas(std::string& out) : out_(out) {}
  void FillRect(const Rect& rect, Colour colour) override {
    out_ += "  fill " + RectText(rect) + " " + ColourText(colour) + "\n";
  }
  void DrawBitmap(const Bitmap& bitmap, Point at) override {
    out_ += "  bitmap " + bitmap.source + " at " + PointText(at.x, at.y) + "\n";
  }
  void DrawString(const std::string& text, const Rect& rect, const TextStyle& style) override {
    out_ += "  text " + Quoted(text) + " in " + RectText(rect) + " " + style.face + " " +
            std::to_string(style.height) + (style.bold ? " bold" : "") + " " +
            ColourText(style.colour) + (style.right_to_left ? " rtl" : "") +
            (style.align == TextAlign::Centre  ? " centre"
             : style.align == TextAlign::Right ? " right"
                                               : "") +
            (style.middle ? " middle" : "") + (style.word_wrap ? " wrap" : "") + "\n";
  }

 private:
  std::string& out_;
};

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---------------------------------------------------------------------------
// Controls

RecordingControl::RecordingControl(RecordingWindow& owner, const ControlSpec& layout)
    : owner_(owner), spec_(layout), text_(layout.text) {}

void RecordingControl::SetChecked(bool checked) {
  checked_ = checked;
  if (!checked || spec_.kind != ControlKind::RadioButton) return;
  // The radio buttons of a window are one group.
  for (auto& other : owner_.controls_) {
    if (other.get() != this && other->spec_.kind == ControlKind::RadioButton) {
      other->checked_ = false;
    }
  }
}

void RecordingControl::SetFocus() { owner_.focused_control_ = spec_.id; }

std::string RecordingControl::Describe() const {
  std::string line = std::string("  ") + KindName(spec_.kind) + " " + std::to_string(spec_.id) +
                     " " + RectText(spec_.bounds) + " " + Quoted(text_);
  if (spec_.kind == ControlKind::CheckBox || spec_.kind == ControlKind::RadioButton) {
    line += checked_ ? " checked" : " unchecked";
  }
  if (spec_.kind == ControlKind::TabControl) {
    for (std::size_t i = 0; i < items_.size(); ++i) {
      line += (static_cast<int>(i) == selected_ ? " [" : " ") + items_[i] +
              (static_cast<int>(i) == selected_ ? "]" : "");
    }
  }
  if (!bitmap_source_.empty()) line += " bitmap " + bitmap_source_;
  if (spec_.default_button) line += " default";
  if (spec_.cancel_button) line += " cancel";
  if (!visible_) line += " hidden";
  if (!enabled_) line += " disabled";
  if (owner_.focused_control_ == spec_.id) line += " focused";
  return line + "\n";
}

// ---------------------------------------------------------------------------
// Windows

RecordingWindow::RecordingWindow(RecordingGui& gui, const WindowSpec& layout, WindowEvents& events)
    : gui_(gui), spec_(layout), events_(events), title_(layout.title) {
  bounds_ = {layout.position.x, layout.position.y, layout.client_width, layout.client_height};
}

RecordingWindow::~RecordingWindow() { gui_.Forget(this); }

void RecordingWindow::Show() {
  if (spec_.centred) {
    const Rect area = gui_.WorkArea();
    bounds_.left = area.left + (area.width - bounds_.width) / 2;
    bounds_.top = area.top + (area.height - bounds_.height) / 2;
  }
  visible_ = true;
}

void RecordingWindow::Hide() { visible_ = false; }

bool RecordingWindow::Active() const {
  // The front window is the last shown modal, else the first visible one.
  for (auto it = gui_.windows_.rbegin(); it != gui_.windows_.rend(); ++it) {
    if ((*it)->in_modal_) return *it == this;
  }
  for (RecordingWindow* window : gui_.windows_) {
    if (window->visible_) return window == this;
  }
  return false;
}

void RecordingWindow::SetPosition(Point position) {
  if (position.x == bounds_.left && position.y == bounds_.top) return;
  bounds_.left = position.x;
  bounds_.top = position.y;
  events_.Moved(bounds_);
}

void RecordingWindow::SetRoundRectRegion(int left, int top, int right, int bottom,
                                         int ellipse_width, int ellipse_height) {
  region_ = "round " + PointText(left, top) + "-" + PointText(right, bottom) + " corners " +
            std::to_string(ellipse_width) + "x" + std::to_string(ellipse_height);
}

void RecordingWindow::SetTimer(int id, std::uint32_t interval_ms) {
  TimerState& timer = timers_[id];
  timer.interval = std::max<std::uint32_t>(interval_ms, 1);
  timer.due = gui_.Now() + timer.interval;
  timer.order = ++gui_.timer_order_;
}

void RecordingWindow::KillTimer(int id) { timers_.erase(id); }

std::uint32_t RecordingWindow::TimerInterval(int id) const {
  auto it = timers_.find(id);
  return it == timers_.end() ? 0 : it->second.interval;
}

bool RecordingWindow::RegisterHotKey(int id, std::uint16_t shortcut) {
  if (gui_.HotKeyTaken(shortcut, this)) {
    gui_.Record("hot key " + ShortcutText(shortcut) + " refused: held elsewhere");
    return false;
  }
  hot_keys_[id] = shortcut;
  return true;
}

void RecordingWindow::UnregisterHotKey(int id) { hot_keys_.erase(id); }

bool RecordingWindow::AddTrayIcon(const std::string& hint) {
  tray_hint_ = hint;
  if (gui_.fail_tray_) {
    gui_.fail_tray_ = false;
    gui_.Record("tray icon refused");
    return false;
  }
  tray_ = true;
  return true;
}

void RecordingWindow::SetTrayHint(const std::string& hint) { tray_hint_ = hint; }

void RecordingWindow::RemoveTrayIcon() { tray_ = false; }

int RecordingWindow::PopupMenu(const std::vector<MenuItem>& items, Point screen) {
  std::string line = "menu at " + PointText(screen.x, screen.y) + ":";
  for (const MenuItem& item : items) {
    if (item.separator) {
      line += " |";
      continue;
    }
    // Appended piece by piece, not as " " + text: GCC 12 at -O3 warns
    // falsely (-Wrestrict) about that temporary.
    line += ' ';
    line += Quoted(item.caption);
    if (item.shortcut != 0) {
      line += ' ';
      line += ShortcutText(item.shortcut);
    }
    if (item.is_default) line += " (default)";
    if (!item.enabled) line += " (disabled)";
    if (item.right_to_left) line += " (rtl)";
  }
  gui_.Record(line);
  if (gui_.menu_answers_.empty()) return 0;
  auto [id, while_open] = std::move(gui_.menu_answers_.front());
  gui_.menu_answers_.pop_front();
  if (while_open) while_open();
  for (const MenuItem& item : items) {
    if (item.id == id && !item.separator && item.enabled) {
      gui_.Record("menu chose " + Quoted(item.caption));
      return id;
    }
  }
  return 0;
}

int RecordingWindow::ShowModal() {
  if (in_modal_) return 0;
  in_modal_ = true;
  modal_ended_ = false;
  modal_result_ = 0;
  Show();
  gui_.RunModal(*this);
  in_modal_ = false;
  visible_ = false;
  gui_.Record("modal " + Quoted(title_) + " ended with " + std::to_string(modal_result_));
  return modal_result_;
}

void RecordingWindow::EndModal(int result) {
  if (!in_modal_ || modal_ended_) return;
  modal_ended_ = true;
  modal_result_ = result;
}

Control& RecordingWindow::AddControl(const ControlSpec& layout) {
  controls_.push_back(std::make_unique<RecordingControl>(*this, layout));
  return *controls_.back();
}

Control* RecordingWindow::FindControl(int id) {
  for (auto& control : controls_) {
    if (control->Id() == id) return control.get();
  }
  return nullptr;
}

std::vector<RecordingControl*> RecordingWindow::Controls() {
  std::vector<RecordingControl*> out;
  for (auto& control : controls_) out.push_back(control.get());
  return out;
}

std::string RecordingWindow::Describe() const {
  std::string out = "window " + spec_.class_name + " " + Quoted(title_) +
                    (visible_ ? " shown " : " hidden ") + RectText(bounds_);
  if (spec_.right_to_left) out += " mirrored";
  if (!region_.empty()) out += " " + region_;
  if (in_modal_) out += " modal";
  out += "\n";
  if (!visible_) return out;
  RecordingCanvas canvas(out);
  events_.Paint(canvas);
  for (const auto& control : controls_) out += control->Describe();
  return out;
}

// ---------------------------------------------------------------------------
// The system

RecordingGui::RecordingGui(ClockKind clock) : clock_(clock), real_start_(SteadyMs()) {}

// Windows are destroyed before their system.
RecordingGui::~RecordingGui() = default;

std::unique_ptr<Window> RecordingGui::NewWindow(const WindowSpec& layout, WindowEvents& events) {
  auto window = std::make_unique<RecordingWindow>(*this, layout, events);
  windows_.push_back(window.get());
  return window;
}

void RecordingGui::Forget(RecordingWindow* window) {
  windows_.erase(std::remove(windows_.begin(), windows_.end(), window), windows_.end());
  posted_.erase(std::remove_if(posted_.begin(), posted_.end(),
                               [window](const auto& post) { return post.first == window; }),
                posted_.end());
  if (pressed_window_ == window) pressed_window_ = nullptr;
}

std::int64_t RecordingGui::Now() const {
  return clock_ == ClockKind::Driven ? driven_now_ : SteadyMs() - real_start_;
}

void RecordingGui::Record(const std::string& line) {
  events_.push_back(line);
  if (sink_) sink_(line);
}

RecordingWindow* RecordingGui::NextDueTimer(std::int64_t until, int& id) const {
  RecordingWindow* best = nullptr;
  const RecordingWindow::TimerState* best_timer = nullptr;
  for (RecordingWindow* window : windows_) {
    for (const auto& [timer_id, timer] : window->timers_) {
      if (timer.due > until) continue;
      if (best_timer == nullptr || timer.due < best_timer->due ||
          (timer.due == best_timer->due && timer.order < best_timer->order)) {
        best = window;
        best_timer = &timer;
        id = timer_id;
      }
    }
  }
  return best;
}

void RecordingGui::FireTimer(RecordingWindow& window, int id) {
  auto it = window.timers_.find(id);
  if (it == window.timers_.end()) return;
  // The next tick is due one interval after this one, whatever the handler
  // does; a handler that re-sets the timer moves it on from now.
  it->second.due += it->second.interval;
  window.events_.Timer(id);
}

void RecordingGui::AdvanceClock(std::int64_t ms) {
  DeliverPostedMessages();
  const std::int64_t until = Now() + ms;
  int id = 0;
  while (RecordingWindow* window = NextDueTimer(until, id)) {
    if (clock_ == ClockKind::Driven) driven_now_ = std::max(driven_now_, window->timers_[id].due);
    FireTimer(*window, id);
    DeliverPostedMessages();
  }
  if (clock_ == ClockKind::Driven) driven_now_ = until;
}

void RecordingGui::DeliverPostedMessages() {
  while (!posted_.empty()) {
    auto [window, message] = posted_.front();
    posted_.pop_front();
    window->events_.Message(message);
  }
}

int RecordingGui::RunMessageLoop() {
  if (clock_ == ClockKind::Driven) {
    if (loop_script_) loop_script_();
    DeliverPostedMessages();
    return exit_code_.load();
  }
  std::string shown;
  while (!quit_requested_.load()) {
    // Workers' calls first, so timers that are always due cannot starve them.
    platform::PumpSynchronizedCalls();
    DeliverPostedMessages();
    ReportChanges(shown);
    int id = 0;
    const std::int64_t now = Now();
    if (RecordingWindow* window = NextDueTimer(now, id)) {
      FireTimer(*window, id);
      continue;
    }
    // Sleep on the synchronized-call queue until the next timer is due.
    std::int64_t wait = 50;
    for (RecordingWindow* w : windows_) {
      for (const auto& [timer_id, timer] : w->timers_) wait = std::min(wait, timer.due - now);
    }
    platform::WaitAndPumpSynchronizedCalls(static_cast<int>(std::max<std::int64_t>(wait, 1)));
  }
  return exit_code_.load();
}

void RecordingGui::ReportChanges(std::string& shown) {
  if (!sink_) return;
  const std::string now = Describe();
  if (now == shown) return;
  // Each line that is new since the last report.
  std::size_t start = 0;
  while (start < now.size()) {
    std::size_t end = now.find('\n', start);
    if (end == std::string::npos) end = now.size();
    const std::string line = now.substr(start, end - start);
    if (shown.find(line + "\n") == std::string::npos) sink_("shows: " + line);
    start = end + 1;
  }
  shown = now;
}

void RecordingGui::QuitMessageLoop(int exit_code) {
  exit_code_ = exit_code;
  quit_requested_ = true;
}

MessageBoxResult RecordingGui::ShowMessageBox(Window* /*owner*/, const std::string& text,
                                              const std::string& title, MessageBoxButtons buttons,
                                              MessageBoxIcon icon) {
  std::string line = "message box " + Quoted(title) + " " + Quoted(text) +
                     (buttons == MessageBoxButtons::YesNo ? " yes/no" : " ok");
  if (icon == MessageBoxIcon::Question) line += " question";
  if (icon == MessageBoxIcon::Error) line += " error";
  if (icon == MessageBoxIcon::Information) line += " information";
  Record(line);
  MessageBoxResult result =
      buttons == MessageBoxButtons::YesNo ? MessageBoxResult::No : MessageBoxResult::Ok;
  if (!box_answers_.empty()) {
    auto [answer, while_open] = std::move(box_answers_.front());
    box_answers_.pop_front();
    if (while_open) while_open();
    result = answer;
  }
  static const char* const kNames[] = {"ok", "yes", "no", "cancel"};
  Record("message box answered " + std::string(kNames[static_cast<int>(result)]));
  return result;
}

void RecordingGui::ShellOpen(Window* /*owner*/, const std::string& target, ShowCommand show) {
  Record("shell open " + Quoted(target) + (show == ShowCommand::Hidden ? " hidden" : " normal"));
}

bool RecordingGui::PostToWindowOfClass(const std::string& class_name, std::uint32_t message) {
  RecordingWindow* window = FindWindow(class_name);
  if (window == nullptr) return false;
  const auto& listened = window->spec_.messages;
  if (std::find(listened.begin(), listened.end(), message) != listened.end()) {
    posted_.emplace_back(window, message);
  }
  return true;
}

bool RecordingGui::AddFontFile(const std::string& path) {
  Record("font file " + Quoted(path));
  return true;
}

void RecordingGui::SetFaceCoverage(const std::string& face, std::function<bool(char32_t)> has) {
  coverage_[face] = std::move(has);
}

bool RecordingGui::FaceDraws(const TextStyle& style, const std::string& text) {
  const auto found = coverage_.find(style.face);
  if (found == coverage_.end()) return true;
  const std::u16string units = platform::Utf8ToUtf16(text);
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    if (c > U' ' && !found->second(c)) return false;
  }
  return true;
}

std::optional<Size> RecordingGui::MeasureText(const std::string& text, const TextStyle& style,
                                              int wrap_width) {
  if (!measure_) return std::nullopt;
  return measure_(text, style, wrap_width);
}

RecordingWindow* RecordingGui::FindWindow(const std::string& class_name) const {
  for (RecordingWindow* window : windows_) {
    if (window->spec_.class_name == class_name) return window;
  }
  return nullptr;
}

RecordingWindow* RecordingGui::TrayWindow() const {
  for (RecordingWindow* window : windows_) {
    if (window->tray_) return window;
  }
  return nullptr;
}

void RecordingGui::MoveMouse(RecordingWindow& window, Point client) {
  window.events_.MouseMove(client);
}

void RecordingGui::LeaveWindow(RecordingWindow& window) { window.events_.MouseLeave(); }

void RecordingGui::Press(RecordingWindow& window, Point client, MouseButton button) {
  pressed_window_ = &window;
  window.events_.MouseDown(button, client);
}

void RecordingGui::Release(RecordingWindow& window, Point client, MouseButton button) {
  pressed_window_ = nullptr;
  window.events_.MouseUp(button, client);
}

void RecordingGui::Click(RecordingWindow& window, Point client, MouseButton button) {
  MoveMouse(window, client);
  Press(window, client, button);
  Release(window, client, button);
}

void RecordingGui::Drag(RecordingWindow& window, Point from, int dx, int dy) {
  MoveMouse(window, from);
  if (window.events_.HitTest(from) == HitArea::Caption) {
    // The system's move loop: the window follows the pointer in steps, and
    // the client sees no mouse messages meanwhile.
    const Rect start = window.bounds_;
    const int steps = 4;
    for (int step = 1; step <= steps; ++step) {
      Rect proposed = start;
      proposed.left += dx * step / steps;
      proposed.top += dy * step / steps;
      proposed = SnapToWorkArea(proposed, work_area_, window.spec_.snap_distance);
      window.SetPosition({proposed.left, proposed.top});
    }
    return;
  }
  Press(window, from);
  const Point to{from.x + dx, from.y + dy};
  MoveMouse(window, to);
  Release(window, to);
}

bool RecordingGui::HotKeyTaken(std::uint16_t shortcut, const RecordingWindow* /*asking*/) const {
  if (std::find(held_elsewhere_.begin(), held_elsewhere_.end(), shortcut) !=
      held_elsewhere_.end()) {
    return true;
  }
  for (const RecordingWindow* window : windows_) {
    for (const auto& [id, held] : window->hot_keys_) {
      if (held == shortcut) return true;
    }
  }
  return false;
}

bool RecordingGui::PressHotKey(std::uint16_t shortcut) {
  for (RecordingWindow* window : windows_) {
    for (const auto& [id, held] : window->hot_keys_) {
      if (held == shortcut) {
        const int hot_key_id = id;
        window->events_.HotKey(hot_key_id);
        return true;
      }
    }
  }
  return false;
}

bool RecordingGui::TrayInput(TrayEvent event) {
  RecordingWindow* window = TrayWindow();
  if (window == nullptr) return false;
  window->events_.Tray(event, {work_area_.Right() - 20, work_area_.Bottom() + 10});
  return true;
}

void RecordingGui::PressKey(RecordingWindow& window, int key, std::uint16_t shift) {
  const bool to_form_first = window.spec_.key_preview || window.controls_.empty();
  if (to_form_first && window.events_.KeyDown(key, shift)) return;
  for (auto& control : window.controls_) {
    const ControlSpec& layout = control->Layout();
    if ((key == kKeyReturn && layout.default_button) ||
        (key == kKeyEscape && layout.cancel_button)) {
      window.events_.Command(layout.id);
      return;
    }
  }
  if (!to_form_first) window.events_.KeyDown(key, shift);
}

void RecordingGui::ClickControl(RecordingWindow& window, int id) {
  auto* control = static_cast<RecordingControl*>(window.FindControl(id));
  if (control == nullptr || !control->IsEnabled() || !control->IsVisible()) return;
  if (control->Layout().kind == ControlKind::CheckBox) control->SetChecked(!control->Checked());
  if (control->Layout().kind == ControlKind::RadioButton) control->SetChecked(true);
  control->SetFocus();
  window.events_.Command(id);
}

void RecordingGui::TypeText(RecordingWindow& window, int id, const std::string& text) {
  if (Control* control = window.FindControl(id)) {
    control->SetFocus();
    control->SetText(text);
  }
}

void RecordingGui::PointAtControl(RecordingWindow& window, int id) {
  window.events_.PointerOverControl(id);
}

void RecordingGui::CloseByTitleBar(RecordingWindow& window) { window.events_.CloseRequest(); }

void RecordingGui::SystemMinimize(RecordingWindow& window) { window.events_.Minimized(); }

void RecordingGui::AnswerNextModal(std::function<void(RecordingWindow&)> answerer) {
  modal_answers_.push_back(std::move(answerer));
}

void RecordingGui::AnswerNextModal(int result) {
  modal_answers_.push_back([result](RecordingWindow& window) { window.EndModal(result); });
}

void RecordingGui::AnswerNextMessageBox(MessageBoxResult result, std::function<void()> while_open) {
  box_answers_.emplace_back(result, std::move(while_open));
}

void RecordingGui::AnswerNextMenu(int id, std::function<void()> while_open) {
  menu_answers_.emplace_back(id, std::move(while_open));
}

void RecordingGui::RunModal(RecordingWindow& window) {
  Record("modal " + Quoted(window.title_));
  if (modal_answers_.empty()) return;  // nobody there: it ends at once with 0
  auto answerer = std::move(modal_answers_.front());
  modal_answers_.pop_front();
  answerer(window);
  // A quit during the dialog ends it first, as the real loop does.
  if (!window.modal_ended_ && quit_requested_) window.EndModal(0);
}

std::string RecordingGui::Describe() const {
  std::string out;
  for (const RecordingWindow* window : windows_) out += window->Describe();
  if (const RecordingWindow* tray = TrayWindow()) out += "tray " + Quoted(tray->tray_hint_) + "\n";
  for (const RecordingWindow* window : windows_) {
    for (const auto& [id, shortcut] : window->hot_keys_) {
      out += "hot key " + ShortcutText(shortcut) + " -> " + window->spec_.class_name + "\n";
    }
  }
  return out;
}

}  // namespace gui
