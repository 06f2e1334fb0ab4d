#include "activators/Win64.h"

#include <cstdint>

#include "platform/Abi.h"
#include "platform/DynamicLibrary.h"

namespace {

// The pseudo-handle the system gives for "the current process".
void* CurrentProcessHandle() { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }

}  // namespace

bool IsWow64() {
  using IsWow64ProcessFunc = int(PLATFORM_STDCALL*)(void* process, int* wow64);
  // Looked up at run time: Windows without WOW64 support lacks the export.
  const auto is_wow64_process = reinterpret_cast<IsWow64ProcessFunc>(
      platform::GetSystemSymbol("kernel32.dll", "IsWow64Process"));
  if (is_wow64_process == nullptr) return false;
  int wow64 = 0;
  if (is_wow64_process(CurrentProcessHandle(), &wow64) == 0) {
    throw EWin64Error("IsWow64: bad process handle");
  }
  return wow64 != 0;
}

bool IsWin64() {
  // Asked once, when first needed, and fixed from then on; a failed query
  // raises to that caller (and is asked again next time).
  static const bool is_win64 = IsWow64();
  return is_win64;
}
