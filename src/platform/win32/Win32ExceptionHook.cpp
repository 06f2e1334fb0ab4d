// The exception hook on Windows. C++ throws of the DWARF-unwinding runtime
// never reach the system's exception dispatch, so __cxa_throw is wrapped at
// link time (-Wl,--wrap=__cxa_throw); hardware faults reach a vectored
// handler, which reports them and lets the search for a handler go on.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <typeinfo>

#include "platform/ExceptionHook.h"
#include "platform/ExceptionHookInternal.h"
#include "platform/Files.h"
#include "platform/win32/PeSymbols.h"
#include "platform/win32/Wide.h"

namespace platform {

namespace {

bool IsCode(std::uintptr_t begin, std::uintptr_t end) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<void*>(begin), &info, sizeof info) == 0) return false;
  constexpr DWORD kExecutable =
      PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if (info.State != MEM_COMMIT || (info.Protect & kExecutable) == 0 ||
      (info.Protect & PAGE_GUARD) != 0) {
    return false;
  }
  return end <= reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
}

// Symbol tables of the modules seen so far, read from their files once.
std::mutex g_symbols_mutex;
std::map<HMODULE, std::unique_ptr<win32::PeSymbols>> g_symbols;

// A module without a symbol table gives bare addresses.
StackFrame Resolve(std::uintptr_t address) {
  StackFrame frame;
  frame.address = address;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(address - 1), &module) ||
      module == nullptr) {
    return frame;
  }
  std::lock_guard<std::mutex> lock(g_symbols_mutex);
  auto& symbols = g_symbols[module];
  if (!symbols) {
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    const auto image = ReadWholeFile(win32::U(path));
    symbols = std::make_unique<win32::PeSymbols>(image ? *image : std::string());
  }
  frame.routine = symbols->RoutineAt(
      static_cast<std::uint32_t>(address - 1 - reinterpret_cast<std::uintptr_t>(module)));
  return frame;
}

// The thread's information block, read as NtCurrentTeb reads it: through
// its self pointer in the thread's segment. (The header's version reads
// through an array of size 0 at address 0, which GCC 12 takes for an access
// out of bounds.)
const NT_TIB* CurrentTib() {
  const NT_TIB* tib = nullptr;
#if defined(__x86_64__)
  __asm__("movq %%gs:0x30, %0" : "=r"(tib));
#else
  __asm__("movl %%fs:0x18, %0" : "=r"(tib));
#endif
  return tib;
}

__attribute__((noinline)) std::vector<StackFrame> ScanFromImpl(std::uintptr_t from, int skip) {
  const NT_TIB* tib = CurrentTib();
  const auto high = reinterpret_cast<std::uintptr_t>(tib->StackBase);
  const auto low = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  if (from < low || from >= high) return {};
  return internal::ScanStack(from, high, skip, IsCode, Resolve);
}

void ModuleOfImpl(std::uintptr_t address, RaisedException& e) {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(address), &module) &&
      module != nullptr) {
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    const std::string full = win32::U(path);
    const std::size_t slash = full.find_last_of("\\/");
    e.module_name = slash == std::string::npos ? full : full.substr(slash + 1);
    e.offset = address - reinterpret_cast<std::uintptr_t>(module);
  } else {
    e.offset = address;
  }
}

const char* FaultClassName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return "EAccessViolation";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return "EDivByZero";
    case EXCEPTION_INT_OVERFLOW:
      return "EIntOverflow";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return "EZeroDivide";
    case EXCEPTION_FLT_OVERFLOW:
      return "EOverflow";
    case EXCEPTION_FLT_UNDERFLOW:
      return "EUnderflow";
    case EXCEPTION_FLT_INVALID_OPERATION:
      return "EInvalidOp";
    case EXCEPTION_STACK_OVERFLOW:
      return "EStackOverflow";
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "EPrivilege";
    default:
      return "EExternalException";
  }
}

LONG CALLBACK VectoredHandler(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  // Only errors: warnings and notices (debug output, thread naming, guard
  // pages) are part of normal operation.
  if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u) return EXCEPTION_CONTINUE_SEARCH;
  if (!internal::NotifierInstalled()) return EXCEPTION_CONTINUE_SEARCH;
  RaisedException e;
  e.is_fault = true;
  e.class_name = FaultClassName(record->ExceptionCode);
  const auto address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
  char text[200];
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
    const char* kind = record->ExceptionInformation[0] == 1   ? "Write"
                       : record->ExceptionInformation[0] == 8 ? "Execution"
                                                              : "Read";
    // At least eight digits: a 32-bit address fills them, a 64-bit one
    // may need more.
    std::snprintf(text, sizeof text, "Access violation at address %08llX. %s of address %08llX",
                  static_cast<unsigned long long>(address), kind,
                  static_cast<unsigned long long>(record->ExceptionInformation[1]));
  } else {
    std::snprintf(text, sizeof text, "External exception %08lX",
                  static_cast<unsigned long>(record->ExceptionCode));
  }
  e.message = text;
  ModuleOfImpl(address, e);
  if (record->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    // The faulting thread's frames lie above the context's stack pointer.
#if defined(_M_IX86) || defined(__i386__)
    e.frames = ScanFromImpl(pointers->ContextRecord->Esp, 0);
#else
    e.frames = ScanFromImpl(pointers->ContextRecord->Rsp, 0);
#endif
  }
  internal::NotifyRaised(e);
  return EXCEPTION_CONTINUE_SEARCH;
}

std::once_flag g_install_once;

}  // namespace

namespace internal {
std::vector<StackFrame> ScanFrom(std::uintptr_t from, int skip) { return ScanFromImpl(from, skip); }
void ModuleOf(std::uintptr_t address, RaisedException& e) { ModuleOfImpl(address, e); }

void InstallFaultHandlers() {
  std::call_once(g_install_once, [] { AddVectoredExceptionHandler(1, VectoredHandler); });
}
}  // namespace internal

}  // namespace platform
