// The window system as a whole: the program's instance and icon, the work
// area, message boxes, the shell's "open", font files, and the backend itself.
#include <windows.h>
// The common controls after windows.h.
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "platform/MessageLoop.h"
#include "platform/gui/win32/Win32GuiInternal.h"
#include "platform/win32/Wide.h"

namespace gui {

namespace win32 {

using platform::win32::W;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

HICON ProgramIcon() {
  static HICON icon = [] {
    HICON own = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
    return own != nullptr ? own : LoadIconW(nullptr, IDI_APPLICATION);
  }();
  return icon;
}

Rect SystemWorkArea() {
  RECT area = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  return FromRECT(area);
}

HWND HandleOf(Window* window) {
  auto* ours = dynamic_cast<Win32Window*>(window);
  return ours != nullptr ? ours->Realize() : nullptr;
}

namespace {

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

class Win32GuiSystem : public GuiSystem {
 public:
  // The common controls are loaded with the first one made
  // (LoadCommonControls), not here.
  Win32GuiSystem() { platform::AttachSynchronizedCallsToMessageLoop(); }

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

}  // namespace win32

std::unique_ptr<GuiSystem> CreateDefaultGui() { return std::make_unique<win32::Win32GuiSystem>(); }

}  // namespace gui
