// The Win32 window layer driven through real windows: messages are posted or
// sent to them and the backend's own loops run until the expected events
// have arrived (bounded by a generous limit).
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>
// The tooltip messages, after windows.h.
#include <commctrl.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "platform/gui/Gui.h"

namespace {

constexpr int kPollTimer = 900;

struct Events : gui::WindowEvents {
  std::function<void(gui::Canvas&)> on_paint;
  std::function<void(int)> on_timer;
  std::function<bool(int)> on_key;
  std::function<void()> on_close;
  std::vector<std::uint32_t> messages;
  std::map<int, int> ticks;  // per timer id
  std::vector<int> hot_keys;
  std::vector<int> commands;
  std::vector<int> keys;
  std::vector<int> pointer_controls;
  std::vector<std::string> mouse;  // "move 10,20", "down L 3,4", ...
  int caption_height = 0;
  int capture_lost = 0;
  int leaves = 0;

  void Paint(gui::Canvas& canvas) override {
    if (on_paint) on_paint(canvas);
  }
  gui::HitArea HitTest(gui::Point client) override {
    return client.y < caption_height ? gui::HitArea::Caption : gui::HitArea::Client;
  }
  void MouseMove(gui::Point p) override { mouse.push_back(Describe("move", p)); }
  void MouseLeave() override { ++leaves; }
  void MouseDown(gui::MouseButton b, gui::Point p) override {
    mouse.push_back(Describe(b == gui::MouseButton::Left ? "down L" : "down R", p));
  }
  void MouseUp(gui::MouseButton b, gui::Point p) override {
    mouse.push_back(Describe(b == gui::MouseButton::Left ? "up L" : "up R", p));
  }
  void CaptureLost() override { ++capture_lost; }
  bool KeyDown(int key, std::uint16_t) override {
    keys.push_back(key);
    return on_key && on_key(key);
  }
  void Timer(int id) override {
    ++ticks[id];
    if (on_timer) on_timer(id);
  }
  void HotKey(int id) override { hot_keys.push_back(id); }
  void Message(std::uint32_t message) override { messages.push_back(message); }
  void Command(int id) override { commands.push_back(id); }
  void CloseRequest() override {
    if (on_close) on_close();
  }
  void PointerOverControl(int id) override { pointer_controls.push_back(id); }

  static std::string Describe(const char* what, gui::Point p) {
    return std::string(what) + " " + std::to_string(p.x) + "," + std::to_string(p.y);
  }
};

// Each test names its windows' classes uniquely, so the class finds them.
HWND HandleOf(gui::Window& /*window*/, const char* class_name) {
  std::u16string wide;
  for (const char* c = class_name; *c; ++c) wide.push_back(static_cast<char16_t>(*c));
  return FindWindowW(reinterpret_cast<const wchar_t*>(wide.c_str()), nullptr);
}

class Win32GuiTest : public ::testing::Test {
 protected:
  Win32GuiTest() : gui_(gui::CreateDefaultGui()) {
    gui::WindowSpec layout;
    layout.class_name = "NimbraTestPump";
    pump_ = gui_->NewWindow(layout, pump_events_);
  }

  // Runs the backend's main loop until `done` holds; false after the time
  // limit.
  bool RunUntil(const std::function<bool()>& done, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pump_events_.on_timer = [&](int) {
      if (done()) {
        gui_->QuitMessageLoop(0);
      } else if (std::chrono::steady_clock::now() > deadline) {
        gui_->QuitMessageLoop(1);
      }
    };
    pump_->SetTimer(kPollTimer, 10);
    const int code = gui_->RunMessageLoop();
    pump_->KillTimer(kPollTimer);
    return code == 0 && done();
  }

  std::unique_ptr<gui::Window> NewWindow(const char* class_name, Events& events,
                                         gui::WindowStyle style = gui::WindowStyle::Borderless) {
    gui::WindowSpec layout;
    layout.class_name = class_name;
    layout.style = style;
    layout.client_width = 200;
    layout.client_height = 150;
    layout.position = {20, 20};
    return gui_->NewWindow(layout, events);
  }

  std::unique_ptr<gui::GuiSystem> gui_;
  Events pump_events_;
  std::unique_ptr<gui::Window> pump_;
};

TEST_F(Win32GuiTest, WindowIsFoundByItsClassAndGetsListedMessages) {
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "TNimbraMainForm";
  layout.title = "Nimbra \xC3\xA9";
  layout.style = gui::WindowStyle::DialogWithMinimize;
  layout.client_width = 321;
  layout.client_height = 123;
  layout.centred = true;
  layout.messages = {9};
  auto window = gui_->NewWindow(layout, events);
  window->Show();

  HWND handle = FindWindowW(L"TNimbraMainForm", nullptr);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(window->Title(), layout.title);
  RECT client;
  GetClientRect(handle, &client);
  EXPECT_EQ(client.right, 321);
  EXPECT_EQ(client.bottom, 123);
  const gui::Rect area = gui_->WorkArea();
  const gui::Rect bounds = window->Bounds();
  EXPECT_LE(std::abs(bounds.left + bounds.width / 2 - (area.left + area.width / 2)), 1);
  EXPECT_LE(std::abs(bounds.top + bounds.height / 2 - (area.top + area.height / 2)), 1);

  EXPECT_TRUE(gui_->PostToWindowOfClass("TNimbraMainForm", 9));
  EXPECT_FALSE(gui_->PostToWindowOfClass("NimbraNoSuchClass", 9));
  EXPECT_TRUE(RunUntil([&] { return !events.messages.empty(); }));
  EXPECT_EQ(events.messages, std::vector<std::uint32_t>{9});

  // Closing from the title bar only asks.
  SendMessageW(handle, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(handle));
}

TEST_F(Win32GuiTest, ModalLoopKeepsTimersAndSynchronizedCallsAndReturnsTheResult) {
  Events owner_events;
  auto owner = NewWindow("NimbraTestOwner", owner_events);
  owner->Show();
  HWND owner_handle = HandleOf(*owner, "NimbraTestOwner");

  Events dialog_events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestDialog";
  layout.style = gui::WindowStyle::Dialog;
  layout.client_width = 100;
  layout.client_height = 60;
  layout.owner = owner.get();
  auto dialog = gui_->NewWindow(layout, dialog_events);

  int owner_ticks = 0;
  bool owner_disabled_inside = false;
  bool synchronized_ran_on_window_thread = false;
  int nested_result = -1;
  std::thread worker;
  const auto window_thread = std::this_thread::get_id();
  owner_events.on_timer = [&](int) { ++owner_ticks; };
  dialog_events.on_timer = [&](int id) {
    if (id == 1) {
      owner_disabled_inside = !IsWindowEnabled(owner_handle);
      nested_result = dialog->ShowModal();  // already modal: returns at once
      worker = std::thread([&] {
        platform::SynchronizedCall([&] {
          synchronized_ran_on_window_thread = std::this_thread::get_id() == window_thread;
        });
      });
      dialog->KillTimer(1);
    }
    if (owner_ticks >= 3 && synchronized_ran_on_window_thread) dialog->EndModal(5);
  };
  owner->SetTimer(7, 10);
  int result = -1;
  // The modal loop runs inside the main loop, as in the program.
  pump_events_.on_timer = [&](int) {
    pump_->KillTimer(kPollTimer);
    dialog->SetTimer(1, 10);
    dialog->SetTimer(2, 20);
    result = dialog->ShowModal();
    gui_->QuitMessageLoop(0);
  };
  pump_->SetTimer(kPollTimer, 10);
  EXPECT_EQ(gui_->RunMessageLoop(), 0);
  if (worker.joinable()) worker.join();

  EXPECT_EQ(result, 5);
  EXPECT_EQ(nested_result, 0);
  EXPECT_GE(owner_ticks, 3);
  EXPECT_TRUE(synchronized_ran_on_window_thread);
  EXPECT_TRUE(owner_disabled_inside);
  EXPECT_TRUE(IsWindowEnabled(owner_handle));
  EXPECT_FALSE(dialog->Visible());
  EXPECT_FALSE(dialog->InModal());
}

TEST_F(Win32GuiTest, QuitInsideAModalLoopEndsBothLoopsWithItsCode) {
  Events dialog_events;
  auto dialog = NewWindow("NimbraTestQuitDialog", dialog_events, gui::WindowStyle::Dialog);
  // From another thread, as a worker would.
  dialog_events.on_timer = [&](int) {
    dialog->KillTimer(1);
    std::thread([&] { gui_->QuitMessageLoop(42); }).join();
  };
  int result = -1;
  pump_events_.on_timer = [&](int) {
    pump_->KillTimer(kPollTimer);
    dialog->SetTimer(1, 10);
    result = dialog->ShowModal();
  };
  pump_->SetTimer(kPollTimer, 10);
  EXPECT_EQ(gui_->RunMessageLoop(), 42);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(dialog->Visible());
}

TEST_F(Win32GuiTest, BorderlessWindowHitTestRegionAndHotKeys) {
  Events events;
  events.caption_height = 20;
  auto window = NewWindow("NimbraTestSkin", events);
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestSkin");
  const gui::Rect bounds = window->Bounds();
  EXPECT_EQ(SendMessageW(handle, WM_NCHITTEST, 0, MAKELPARAM(bounds.left + 50, bounds.top + 5)),
            HTCAPTION);
  EXPECT_EQ(SendMessageW(handle, WM_NCHITTEST, 0, MAKELPARAM(bounds.left + 50, bounds.top + 40)),
            HTCLIENT);

  window->SetRoundRectRegion(0, 0, 100, 80, 10, 10);
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  ASSERT_NE(GetWindowRgn(handle, region), ERROR);
  RECT box;
  GetRgnBox(region, &box);
  DeleteObject(region);
  // A rounded region ends one pixel short of its rectangle; the backend's
  // extra pixel makes it cover the whole window.
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.top, 0);
  EXPECT_EQ(box.right, 100);
  EXPECT_EQ(box.bottom, 80);

  // The same combination cannot be held twice; freed, it can be taken again.
  Events other_events;
  auto other = NewWindow("NimbraTestSkin2", other_events);
  const std::uint16_t shortcut = gui::kShortcutCtrl | gui::kShortcutShift | gui::kShortcutAlt | 'K';
  ASSERT_TRUE(window->RegisterHotKey(1, shortcut));
  EXPECT_FALSE(other->RegisterHotKey(2, shortcut));
  window->UnregisterHotKey(1);
  EXPECT_TRUE(other->RegisterHotKey(2, shortcut));
}

COLORREF Pixel(const std::vector<std::uint32_t>& pixels, int width, int x, int y) {
  const std::uint32_t p = pixels[static_cast<size_t>(y) * width + x];  // 0x00RRGGBB in a DIB
  return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

TEST_F(Win32GuiTest, PaintingDrawsBackgroundBitmapAndClippedText) {
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestPaint";
  layout.client_width = 120;
  layout.client_height = 60;
  layout.background = gui::Rgb(10, 20, 30);
  auto window = gui_->NewWindow(layout, events);
  gui::Bitmap bitmap{
      "test",
      2,
      2,
      {gui::Rgb(255, 0, 0), gui::Rgb(0, 255, 0), gui::Rgb(0, 0, 255), gui::Rgb(255, 255, 255)}};
  gui::TextStyle text_style;
  text_style.colour = gui::Rgb(255, 255, 0);
  text_style.height = 14;
  events.on_paint = [&](gui::Canvas& canvas) {
    canvas.FillRect({50, 0, 70, 60}, gui::Rgb(200, 200, 200));
    canvas.DrawBitmap(bitmap, {5, 6});
    canvas.DrawString("WWWWWWWWWWWWWWWWWWWW", {60, 10, 20, 30}, text_style);
  };
  // The handle is made when the window is first shown.
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestPaint");

  // Painted into a bitmap of ours through the window's own painting.
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = 120;
  info.bmiHeader.biHeight = -60;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP target = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, target);
  SendMessageW(handle, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  GdiFlush();
  std::vector<std::uint32_t> pixels(static_cast<std::uint32_t*>(bits),
                                    static_cast<std::uint32_t*>(bits) + 120 * 60);
  SelectObject(dc, old);
  DeleteObject(target);
  DeleteDC(dc);

  EXPECT_EQ(Pixel(pixels, 120, 20, 40), RGB(10, 20, 30));
  EXPECT_EQ(Pixel(pixels, 120, 5, 6), RGB(255, 0, 0));
  EXPECT_EQ(Pixel(pixels, 120, 6, 6), RGB(0, 255, 0));
  EXPECT_EQ(Pixel(pixels, 120, 5, 7), RGB(0, 0, 255));
  EXPECT_EQ(Pixel(pixels, 120, 6, 7), RGB(255, 255, 255));
  int text_inside = 0;
  int text_outside = 0;
  for (int y = 0; y < 60; ++y) {
    for (int x = 50; x < 120; ++x) {
      if (Pixel(pixels, 120, x, y) != RGB(255, 255, 0)) continue;
      (x >= 60 && x < 80 && y >= 10 && y < 40 ? text_inside : text_outside)++;
    }
  }
  EXPECT_GT(text_inside, 0);
  EXPECT_EQ(text_outside, 0);  // clipped to its rectangle

  // And on the screen, after a real paint.
  UpdateWindow(handle);
  HDC screen = GetDC(handle);
  EXPECT_EQ(GetPixel(screen, 6, 7), RGB(255, 255, 255));
  EXPECT_EQ(GetPixel(screen, 20, 40), RGB(10, 20, 30));
  ReleaseDC(handle, screen);
}

TEST_F(Win32GuiTest, WindowPaintingShowsInsideGroupBoxesAndControlsStayDrawn) {
  for (const auto style : {gui::WindowStyle::Borderless, gui::WindowStyle::Dialog}) {
    Events events;
    events.on_paint = [](gui::Canvas& canvas) {
      canvas.FillRect({0, 0, 200, 150}, gui::Rgb(255, 0, 0));
    };
    auto window = NewWindow(
        style == gui::WindowStyle::Dialog ? "NimbraTestGroupD" : "NimbraTestGroupB", events, style);
    gui::ControlSpec group;
    group.kind = gui::ControlKind::GroupBox;
    group.id = 1;
    group.bounds = {10, 10, 180, 130};
    group.text = "Group";
    window->AddControl(group);
    gui::ControlSpec button = group;
    button.kind = gui::ControlKind::Button;
    button.id = 2;
    button.bounds = {30, 40, 80, 25};
    window->AddControl(button);
    window->Show();
    HWND handle = HandleOf(
        *window, style == gui::WindowStyle::Dialog ? "NimbraTestGroupD" : "NimbraTestGroupB");
    for (int round = 0; round < 2; ++round) {
      // Painted again by the window: the button must not be painted over.
      if (round == 1) window->Invalidate();
      const auto until = GetTickCount() + 300;
      ASSERT_TRUE(RunUntil([&] { return GetTickCount() > until; }));
      HDC dc = GetDC(handle);
      EXPECT_EQ(GetPixel(dc, 150, 100), RGB(255, 0, 0)) << "inside the group, round " << round;
      EXPECT_NE(GetPixel(dc, 35, 45), RGB(255, 0, 0)) << "on the button, round " << round;
      ReleaseDC(handle, dc);
    }
  }
}

TEST_F(Win32GuiTest, MouseMessagesArriveInClientCoordinates) {
  Events events;
  auto window = NewWindow("NimbraTestMouse", events);
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestMouse");
  PostMessageW(handle, WM_MOUSEMOVE, 0, MAKELPARAM(10, 20));
  PostMessageW(handle, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(11, 21));
  PostMessageW(handle, WM_LBUTTONUP, 0, MAKELPARAM(12, 22));
  PostMessageW(handle, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(13, 23));
  ASSERT_TRUE(RunUntil([&] { return events.mouse.size() >= 4; }));
  EXPECT_EQ(events.mouse,
            (std::vector<std::string>{"move 10,20", "down L 11,21", "up L 12,22", "down R 13,23"}));
  // The right button is still down: another window taking the mouse ends it.
  EXPECT_EQ(GetCapture(), handle);
  EXPECT_EQ(events.capture_lost, 0);
  SetCapture(HandleOf(*pump_, "NimbraTestPump"));
  EXPECT_EQ(events.capture_lost, 1);
  ReleaseCapture();
  EXPECT_EQ(events.capture_lost, 1);
}

struct TooltipSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK FindTooltip(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TooltipSearch*>(data);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (GetWindow(window, GW_OWNER) == search->owner && lstrcmpiW(name, TOOLTIPS_CLASSW) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The tooltip window a window's hints live in, if one was made.
HWND TooltipOf(HWND owner) {
  TooltipSearch search{owner, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), FindTooltip, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(Win32GuiTest, HintsWaitForThePointerThenFollowEachNewSet) {
  Events events;
  auto window = NewWindow("NimbraTestHints", events);
  window->SetHints({{{0, 0, 50, 20}, "first"}, {{0, 30, 50, 20}, "second"}});
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestHints");
  // Shown, painted and pumped, but the pointer never came: no tooltip yet.
  bool painted = false;
  events.on_paint = [&](gui::Canvas&) { painted = true; };
  ASSERT_TRUE(RunUntil([&] { return painted; }));
  EXPECT_EQ(TooltipOf(handle), nullptr);

  PostMessageW(handle, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
  ASSERT_TRUE(RunUntil([&] { return !events.mouse.empty(); }));
  HWND tooltip = TooltipOf(handle);
  ASSERT_NE(tooltip, nullptr);
  EXPECT_EQ(SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0), 2);

  // A new set replaces the old one in the same tooltip.
  window->SetHints({{{0, 0, 50, 20}, "only"}});
  EXPECT_EQ(TooltipOf(handle), tooltip);
  EXPECT_EQ(SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0), 1);
  wchar_t text[32] = {};
  TTTOOLINFOW tool = {};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = handle;
  tool.uId = 1;
  tool.lpszText = text;
  SendMessageW(tooltip, TTM_GETTEXTW, 32, reinterpret_cast<LPARAM>(&tool));
  EXPECT_STREQ(text, L"only");
}

// A control's window by the id it was given (the system's ids lie higher).
HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id + 0x1000); }

TEST_F(Win32GuiTest, DialogControlsRadioGroupDialogKeysAndKeyPreview) {
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestControls";
  layout.style = gui::WindowStyle::Dialog;
  layout.client_width = 300;
  layout.client_height = 200;
  layout.key_preview = true;
  auto window = gui_->NewWindow(layout, events);
  auto add = [&](gui::ControlKind kind, int id, int top, bool def = false, bool cancel = false) {
    gui::ControlSpec control;
    control.kind = kind;
    control.id = id;
    control.bounds = {10, top, 120, 20};
    control.text = "Control " + std::to_string(id);
    control.default_button = def;
    control.cancel_button = cancel;
    return &window->AddControl(control);
  };
  // Ids 1 and 2 are also the system's IDOK and IDCANCEL: Enter and Esc must
  // still reach the default and cancel buttons.
  gui::Control* first = add(gui::ControlKind::RadioButton, 1, 10);
  gui::Control* second = add(gui::ControlKind::RadioButton, 2, 30);
  gui::Control* edit = add(gui::ControlKind::Edit, 20, 50);
  add(gui::ControlKind::Button, 30, 80, true, false);
  add(gui::ControlKind::Button, 31, 110, false, true);
  gui::Control* status = add(gui::ControlKind::StatusBar, 40, 0);
  gui::Control* tabs = add(gui::ControlKind::TabControl, 41, 140);
  add(gui::ControlKind::Link, 42, 170);
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestControls");

  // Radio buttons exclude each other, clicked or set.
  SendMessageW(Item(handle, 1), BM_CLICK, 0, 0);
  SendMessageW(Item(handle, 2), BM_CLICK, 0, 0);
  EXPECT_FALSE(first->Checked());
  EXPECT_TRUE(second->Checked());
  first->SetChecked(true);
  EXPECT_TRUE(first->Checked());
  EXPECT_FALSE(second->Checked());
  EXPECT_EQ(events.commands, (std::vector<int>{1, 2}));

  edit->SetText("\xD0\x96 text");
  EXPECT_EQ(edit->Text(), "\xD0\x96 text");
  status->SetText("Ready");
  EXPECT_EQ(status->Text(), "Ready");
  tabs->SetItems({"One", "Two", "Three"});
  tabs->SetSelected(2);
  EXPECT_EQ(SendMessageW(Item(handle, 41), 0x1304 /* TCM_GETITEMCOUNT */, 0, 0), 3);
  EXPECT_EQ(tabs->Selected(), 2);

  // A link is clicked like a button and shows the hand over it.
  HWND link = Item(handle, 42);
  SendMessageW(handle, WM_SETCURSOR, reinterpret_cast<WPARAM>(link),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
  events.commands.clear();
  PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  PostMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  // The pointer onto a control, another, then back onto the window.
  PostMessageW(Item(handle, 30), WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
  PostMessageW(Item(handle, 30), WM_MOUSEMOVE, 0, MAKELPARAM(2, 1));
  PostMessageW(link, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
  PostMessageW(handle, WM_MOUSEMOVE, 0, MAKELPARAM(250, 5));
  ASSERT_TRUE(RunUntil([&] { return events.pointer_controls.size() >= 3; }));
  EXPECT_EQ(events.commands, std::vector<int>{42});
  EXPECT_EQ(events.pointer_controls, (std::vector<int>{30, 42, 0}));

  // Enter and Esc in the edit press the default and the cancel button; F1
  // reaches the window first and is eaten there.
  events.commands.clear();
  events.on_key = [](int key) { return key == gui::kKeyF1; };
  edit->SetFocus();
  HWND edit_handle = Item(handle, 20);
  PostMessageW(edit_handle, WM_KEYDOWN, VK_F1, 0);
  PostMessageW(edit_handle, WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(edit_handle, WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(RunUntil([&] { return events.commands.size() >= 2; }));
  EXPECT_EQ(events.commands, (std::vector<int>{30, 31}));
  EXPECT_EQ(events.keys, (std::vector<int>{gui::kKeyF1, gui::kKeyReturn, gui::kKeyEscape}));
}

// Handles are made when first needed; what was set before must reach them.
TEST_F(Win32GuiTest, StateSetBeforeTheWindowIsMadeReachesItsHandles) {
  Events events;
  auto window = NewWindow("NimbraTestLazy", events, gui::WindowStyle::Dialog);
  auto add = [&](gui::ControlKind kind, int id, int top) {
    gui::ControlSpec control;
    control.kind = kind;
    control.id = id;
    control.bounds = {10, top, 120, 20};
    control.text = "Control " + std::to_string(id);
    return &window->AddControl(control);
  };
  gui::Control* edit = add(gui::ControlKind::Edit, 20, 10);
  gui::Control* first = add(gui::ControlKind::RadioButton, 1, 40);
  gui::Control* second = add(gui::ControlKind::RadioButton, 2, 60);
  gui::Control* check = add(gui::ControlKind::CheckBox, 3, 80);
  gui::Control* tabs = add(gui::ControlKind::TabControl, 41, 110);
  gui::Control* status = add(gui::ControlKind::StatusBar, 40, 0);
  EXPECT_EQ(HandleOf(*window, "NimbraTestLazy"), nullptr);

  const gui::Rect before = window->Bounds();
  window->SetTitle("Made later");
  window->SetPosition({50, 35});
  window->SetRoundRectRegion(0, 0, 100, 80, 10, 10);
  edit->SetText("typed \xD0\x96");
  second->SetChecked(true);
  first->SetChecked(true);
  check->SetChecked(true);
  check->SetEnabled(false);
  tabs->SetItems({"One", "Two"});
  tabs->SetSelected(1);
  status->SetText("Ready");
  second->SetVisible(false);
  EXPECT_EQ(edit->Text(), "typed \xD0\x96");
  EXPECT_TRUE(first->Checked());
  EXPECT_FALSE(second->Checked());
  EXPECT_EQ(tabs->Selected(), 1);
  EXPECT_EQ(window->Title(), "Made later");
  EXPECT_FALSE(window->Visible());
  EXPECT_EQ(HandleOf(*window, "NimbraTestLazy"), nullptr);

  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestLazy");
  ASSERT_NE(handle, nullptr);
  const gui::Rect after = window->Bounds();
  EXPECT_EQ(after.width, before.width);
  EXPECT_EQ(after.height, before.height);
  EXPECT_EQ(after.left, 50);
  EXPECT_EQ(after.top, 35);
  EXPECT_EQ(window->Title(), "Made later");
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  EXPECT_NE(GetWindowRgn(handle, region), ERROR);
  DeleteObject(region);
  wchar_t text[64] = {};
  GetWindowTextW(Item(handle, 20), text, 64);
  EXPECT_EQ(std::wstring(text), L"typed \x0416");
  EXPECT_EQ(SendMessageW(Item(handle, 1), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageW(Item(handle, 2), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(IsWindowVisible(Item(handle, 2)));
  EXPECT_EQ(SendMessageW(Item(handle, 3), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_FALSE(IsWindowEnabled(Item(handle, 3)));
  EXPECT_EQ(SendMessageW(Item(handle, 41), 0x1304 /* TCM_GETITEMCOUNT */, 0, 0), 2);
  EXPECT_EQ(tabs->Selected(), 1);
  EXPECT_EQ(status->Text(), "Ready");
  // Made in the order added: the edit comes first in the tab order.
  EXPECT_EQ(GetNextDlgTabItem(handle, nullptr, FALSE), Item(handle, 20));
  window->Hide();
}

TEST_F(Win32GuiTest, KeysInAControlSkipWindowsWithoutKeyPreview) {
  Events events;
  auto window = NewWindow("NimbraTestNoPreview", events, gui::WindowStyle::Dialog);
  gui::ControlSpec control;
  control.kind = gui::ControlKind::Edit;
  control.id = 5;
  control.bounds = {10, 10, 100, 20};
  window->AddControl(control);
  window->Show();
  HWND edit = GetDlgItem(HandleOf(*window, "NimbraTestNoPreview"), 5);
  PostMessageW(edit, WM_KEYDOWN, VK_F1, 0);
  ASSERT_TRUE(RunUntil([&] {
    MSG peek;
    return !PeekMessageW(&peek, edit, 0, 0, PM_NOREMOVE);
  }));
  EXPECT_TRUE(events.keys.empty());
}

TEST_F(Win32GuiTest, WindowDeletedInItsOwnHandlerGoesAfterwardsAndTrayIconComesAndGoes) {
  Events events;
  auto window = NewWindow("NimbraTestDeleted", events, gui::WindowStyle::Dialog);
  window->Show();
  HWND handle = HandleOf(*window, "NimbraTestDeleted");
  EXPECT_TRUE(window->AddTrayIcon("Nimbra \xE2\x80\x94 hint"));
  window->SetTrayHint("Another hint");
  // The task bar restarting: the icon is added again, without trouble.
  SendMessageW(handle, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  ASSERT_TRUE(window->RegisterHotKey(4, gui::kShortcutCtrl | gui::kShortcutAlt | 'J'));

  // The handle outlives the object until its handler has returned; the
  // hot key and tray icon go with the object.
  events.on_close = [&] { window.reset(); };
  SendMessageW(handle, WM_CLOSE, 0, 0);
  EXPECT_EQ(window, nullptr);
  EXPECT_TRUE(IsWindow(handle));
  EXPECT_TRUE(RunUntil([&] { return !IsWindow(handle); }));
  Events other_events;
  auto other = NewWindow("NimbraTestDeleted2", other_events);
  EXPECT_TRUE(other->RegisterHotKey(4, gui::kShortcutCtrl | gui::kShortcutAlt | 'J'));
}

TEST_F(Win32GuiTest, PopupMenuDismissedReturnsZero) {
  Events events;
  auto window = NewWindow("NimbraTestMenu", events);
  window->Show();
  events.on_timer = [&](int) {
    window->KillTimer(3);
    EndMenu();
  };
  window->SetTimer(3, 50);
  std::vector<gui::MenuItem> items(3);
  items[0] = {1, "Show", 0, true};
  items[1].separator = true;
  items[2] = {2, "Exit", gui::kShortcutCtrl | 'Q'};
  EXPECT_EQ(window->PopupMenu(items, {50, 50}), 0);
}

// ---- Windows the system will not make ------------------------------------------------

// The next `g_refusals_left` windows made on this thread are refused.
int g_refusals_left = 0;
LRESULT CALLBACK RefuseWindows(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_CREATEWND && g_refusals_left > 0) {
    --g_refusals_left;
    return 1;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST_F(Win32GuiTest, WindowTheSystemRefusesThrowsWindowErrorWithItsOwnReason) {
  // A refusal that sets no error must not be reported with an error left
  // over from an earlier call.
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestRefused";
  layout.messages = {9};  // made at once
  HHOOK hook = SetWindowsHookExW(WH_CBT, &RefuseWindows, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  g_refusals_left = INT_MAX;
  SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
  std::string reason;
  try {
    gui_->NewWindow(layout, events);
  } catch (const gui::WindowError& error) {
    reason = error.what();
  }
  UnhookWindowsHookEx(hook);
  g_refusals_left = 0;
  EXPECT_EQ(reason.rfind("window NimbraTestRefused not created, ", 0), 0u) << reason;
  EXPECT_EQ(reason.find("1411"), std::string::npos) << reason;
  EXPECT_EQ(FindWindowW(L"NimbraTestRefused", nullptr), nullptr);

  // Allowed again, the same class makes its window.
  auto window = gui_->NewWindow(layout, events);
  EXPECT_NE(FindWindowW(L"NimbraTestRefused", nullptr), nullptr);
}

TEST_F(Win32GuiTest, WindowRefusedOnceIsMadeOnTheSecondTry) {
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestRefusedOnce";
  layout.messages = {9};  // made at once
  HHOOK hook = SetWindowsHookExW(WH_CBT, &RefuseWindows, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  g_refusals_left = 1;
  std::unique_ptr<gui::Window> window;
  EXPECT_NO_THROW(window = gui_->NewWindow(layout, events));
  EXPECT_EQ(g_refusals_left, 0);
  EXPECT_NE(FindWindowW(L"NimbraTestRefusedOnce", nullptr), nullptr);
  UnhookWindowsHookEx(hook);
}

TEST_F(Win32GuiTest, ClassOfTheSameNameWithAnotherProcedureIsNotTakenForOurs) {
  WNDCLASSEXW other = {};
  other.cbSize = sizeof(other);
  other.lpfnWndProc = DefWindowProcW;
  other.hInstance = GetModuleHandleW(nullptr);
  other.lpszClassName = L"NimbraTestForeignClass";
  ASSERT_NE(RegisterClassExW(&other), 0);
  Events events;
  gui::WindowSpec layout;
  layout.class_name = "NimbraTestForeignClass";
  EXPECT_THROW(gui_->NewWindow(layout, events), gui::WindowError);
  UnregisterClassW(L"NimbraTestForeignClass", GetModuleHandleW(nullptr));
}

// ---- Messages from other programs ------------------------------------------------

// What the flood tests arm, and what they post that the window never armed.
constexpr int kArmedTimer = 5;
constexpr int kKilledTimer = 6;
constexpr int kUnarmedTimer = 7;
constexpr std::uint32_t kArmedInterval = 200;
constexpr int kRegisteredHotKey = 3;
constexpr int kUnregisteredHotKey = 4;
constexpr int kFloodCancelButton = 12;
constexpr std::uint32_t kFloodListedMessage = 9;
constexpr wchar_t kFloodTargetVariable[] = L"NIMBRA_TEST_FLOOD_TARGET";

// Everything another program can post to a window, `count` times over, and a
// mouse move last that says the flood has been seen.
void PostFlood(HWND target, int count) {
  for (int i = 0; i < count; ++i) {
    PostMessageW(target, WM_TIMER, kArmedTimer, 0);
    PostMessageW(target, WM_TIMER, kKilledTimer, 0);
    PostMessageW(target, WM_TIMER, kUnarmedTimer, 0);
    // DispatchMessageW would call this "timer procedure".
    PostMessageW(target, WM_TIMER, kArmedTimer, 0x5A5A5A5A);
    PostMessageW(target, WM_HOTKEY, kUnregisteredHotKey, 0);
    PostMessageW(target, WM_COMMAND, IDCANCEL, 0);
    PostMessageW(target, WM_COMMAND, IDOK, 0);
    PostMessageW(target, WM_COMMAND, MAKEWPARAM(kFloodCancelButton + 0x1000, 0), 0);
    // A click from a window that is no control of ours.
    PostMessageW(target, WM_COMMAND, MAKEWPARAM(77, BN_CLICKED), reinterpret_cast<LPARAM>(target));
    PostMessageW(target, kFloodListedMessage, 0, 0);
  }
  PostMessageW(target, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
}

class Win32GuiFloodTest : public Win32GuiTest {
 protected:
  Win32GuiFloodTest() {
    gui::WindowSpec layout;
    layout.class_name = "NimbraTestFlood";
    layout.style = gui::WindowStyle::Dialog;
    layout.client_width = 200;
    layout.client_height = 100;
    layout.messages = {kFloodListedMessage};
    window_ = gui_->NewWindow(layout, events_);
    gui::ControlSpec cancel;
    cancel.kind = gui::ControlKind::Button;
    cancel.id = kFloodCancelButton;
    cancel.bounds = {10, 10, 80, 25};
    cancel.text = "Cancel";
    cancel.cancel_button = true;
    window_->AddControl(cancel);
    handle_ = FindWindowW(L"NimbraTestFlood", nullptr);
    armed_at_ = std::chrono::steady_clock::now();
    window_->SetTimer(kArmedTimer, kArmedInterval);
    window_->SetTimer(kKilledTimer, kArmedInterval);
    window_->KillTimer(kKilledTimer);
    hot_key_registered_ = window_->RegisterHotKey(
        kRegisteredHotKey, gui::kShortcutCtrl | gui::kShortcutShift | gui::kShortcutAlt | 'L');
  }

  // Runs the loop until the flood's last message has arrived.
  bool RunUntilFloodSeen() {
    events_.mouse.clear();
    return RunUntil([&] { return !events_.mouse.empty(); }, 60000);
  }

  // The window saw only what it armed, and the armed timer no more often
  // than it ticks.
  void ExpectOnlyArmedEvents(int listed_messages) {
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - armed_at_)
            .count();
    EXPECT_EQ(events_.ticks.count(kKilledTimer), 0u);
    EXPECT_EQ(events_.ticks.count(kUnarmedTimer), 0u);
    EXPECT_LE(events_.ticks[kArmedTimer], 2 + static_cast<int>(elapsed_ms / kArmedInterval));
    EXPECT_TRUE(events_.hot_keys.empty());
    EXPECT_TRUE(events_.commands.empty());
    // Each flood of the single-instance message is one event.
    EXPECT_EQ(events_.messages, std::vector<std::uint32_t>(listed_messages, kFloodListedMessage));
  }

  Events events_;
  std::unique_ptr<gui::Window> window_;
  HWND handle_ = nullptr;
  std::chrono::steady_clock::time_point armed_at_;
  bool hot_key_registered_ = false;
};

TEST_F(Win32GuiFloodTest, PostedFloodReachesOnlyWhatTheWindowArmed) {
  ASSERT_NE(handle_, nullptr);
  PostFlood(handle_, 500);
  ASSERT_TRUE(RunUntilFloodSeen());
  ExpectOnlyArmedEvents(1);

  // What the window did arm still arrives: the timer's own ticks, the
  // registered hot key, Esc for the cancel button and a later signal.
  const int ticks = events_.ticks[kArmedTimer];
  ASSERT_TRUE(RunUntil([&] { return events_.ticks[kArmedTimer] >= ticks + 2; }));
  if (hot_key_registered_) {
    PostMessageW(handle_, WM_HOTKEY, kRegisteredHotKey, 0);
    ASSERT_TRUE(RunUntil([&] { return !events_.hot_keys.empty(); }));
    EXPECT_EQ(events_.hot_keys, std::vector<int>{kRegisteredHotKey});
  }
  PostMessageW(GetDlgItem(handle_, kFloodCancelButton + 0x1000), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(RunUntil([&] { return !events_.commands.empty(); }));
  EXPECT_EQ(events_.commands, std::vector<int>{kFloodCancelButton});
  PostMessageW(handle_, kFloodListedMessage, 0, 0);
  ASSERT_TRUE(RunUntil([&] { return events_.messages.size() == 2; }));
}

// Sent messages skip the message loop and reach the window procedure
// straight from the sender.
TEST_F(Win32GuiFloodTest, SentFloodFromAnotherThreadReachesOnlyWhatTheWindowArmed) {
  ASSERT_NE(handle_, nullptr);
  bool done = false;
  std::thread sender([&] {
    for (int i = 0; i < 300; ++i) {
      SendMessageW(handle_, WM_TIMER, kUnarmedTimer, 0);
      SendMessageW(handle_, WM_TIMER, kKilledTimer, 0);
      SendMessageW(handle_, WM_HOTKEY, kUnregisteredHotKey, 0);
      SendMessageW(handle_, WM_COMMAND, IDCANCEL, 0);
    }
    done = true;
    PostMessageW(handle_, WM_MOUSEMOVE, 0, MAKELPARAM(1, 1));
  });
  const bool seen = RunUntilFloodSeen();
  sender.join();
  ASSERT_TRUE(seen && done);
  ExpectOnlyArmedEvents(0);
}

TEST_F(Win32GuiFloodTest, FloodFromAnotherProcessReachesOnlyWhatTheWindowArmed) {
  ASSERT_NE(handle_, nullptr);
  wchar_t path[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(path) +
                         L"\" --gtest_filter=Win32GuiFloodSender.PostsTheFloodToTheNamedWindow";
  SetEnvironmentVariableW(kFloodTargetVariable,
                          std::to_wstring(reinterpret_cast<std::uintptr_t>(handle_)).c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableW(kFloodTargetVariable, nullptr);
  ASSERT_TRUE(started);
  // The whole flood is queued before the loop runs, as when the window
  // thread is busy.
  WaitForSingleObject(process.hProcess, 60000);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exit_code, 0u);
  ASSERT_TRUE(RunUntilFloodSeen());
  ExpectOnlyArmedEvents(1);
}

// The other process of the test above; on its own it has nothing to do.
TEST(Win32GuiFloodSender, PostsTheFloodToTheNamedWindow) {
  wchar_t target[32] = {};
  if (GetEnvironmentVariableW(kFloodTargetVariable, target, 32) == 0) {
    GTEST_SKIP() << "the sender of FloodFromAnotherProcessReachesOnlyWhatTheWindowArmed";
  }
  HWND window =
      reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::wcstoull(target, nullptr, 10)));
  ASSERT_TRUE(IsWindow(window));
  PostFlood(window, 500);
}

}  // namespace

#else

TEST(Win32GuiTest, WindowsOnly) { GTEST_SKIP() << "the Win32 window layer runs on Windows"; }

#endif
