#include "app/Permissions.h"

#include "platform/Abi.h"
#include "platform/DynamicLibrary.h"

namespace {

using FilterProc = int(PLATFORM_STDCALL*)(std::uint32_t, std::uint32_t);

// Looked up once at start-up; systems older than the filter lack the export.
FilterProc g_filter = reinterpret_cast<FilterProc>(
    platform::GetSystemSymbol("user32.dll", "ChangeWindowMessageFilter"));

}  // namespace

std::uint32_t AllowWindowMessage(std::uint32_t Message, std::uint16_t Action) {
  if (g_filter == nullptr) return 0;
  return static_cast<std::uint32_t>(g_filter(Message, Action));
}

void SetWindowMessageFilterForTesting(void* proc) { g_filter = reinterpret_cast<FilterProc>(proc); }
