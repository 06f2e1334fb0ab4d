#include "app/Permissions.h"

#include "platform/Abi.h"
#include "platform/DynamicLibrary.h"

namespace {

using FilterProc = int(PLATFORM_STDCALL*)(std::uint32_t, std::uint32_t);

void* SystemFilterProc() {
  static void* const proc = platform::GetSystemSymbol("user32.dll", "ChangeWindowMessageFilter");
  return proc;
}

}  // namespace

TWindowMessageFilter WindowMessageFilterFrom(void* Proc) {
  const auto filter = reinterpret_cast<FilterProc>(Proc);
  return [filter](std::uint32_t Message, std::uint16_t Action) -> std::uint32_t {
    if (filter == nullptr) return 0;
    return static_cast<std::uint32_t>(filter(Message, Action));
  };
}

TWindowMessageFilter SystemWindowMessageFilter() {
  return WindowMessageFilterFrom(SystemFilterProc());
}

std::uint32_t AllowWindowMessage(std::uint32_t Message, std::uint16_t Action) {
  return SystemWindowMessageFilter()(Message, Action);
}
