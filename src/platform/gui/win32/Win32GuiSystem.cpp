// The window system as a whole: the program's instance and icon, the work
// area, message boxes, the shell's "open", font files, and the backend itself.
#include <windows.h>
// The common controls after windows.h.
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
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
};

}  // namespace

}  // namespace win32

std::unique_ptr<GuiSystem> CreateDefaultGui() { return std::make_unique<win32::Win32GuiSystem>(); }

}  // namespace gui
