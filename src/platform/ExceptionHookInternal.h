// Pieces of the exception hook shared by the platform implementations.
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/ExceptionHook.h"

namespace platform::internal {

// Hands the exception to the notifier unless this thread is already inside
// it (an exception raised while reporting one is not reported again).
void NotifyRaised(RaisedException& exception);
bool NotifierInstalled();
bool IsSilentAbort(const std::type_info* type);

// Whether the bytes just before `code` end with an x86 call instruction; the
// caller makes sure the 7 bytes before `code` are readable.
bool FollowsCallInstruction(const unsigned char* code);

// The text of a thrown object: what() for std::exception, empty otherwise.
std::string ThrownMessage(void* object, const std::type_info* type);

// "ns::Class::Method(int)" becomes "ns.Class.Method": a unit-and-routine
// name for stack lines.
std::string RoutineName(const char* mangled);

// Scans the stack words between `from` and `to` (from the innermost slot
// outwards) for return addresses; `is_code(begin, end)` says whether a byte
// range is executable code.
// Reading other frames' slots is the point of the scan: the sanitizer's red
// zones between locals must not count as errors here.
#if defined(__clang__) || defined(__GNUC__)
#define PLATFORM_NO_ASAN __attribute__((no_sanitize_address))
#else
#define PLATFORM_NO_ASAN
#endif
template <typename IsCode, typename ResolveFrame>
PLATFORM_NO_ASAN std::vector<StackFrame> ScanStack(std::uintptr_t from, std::uintptr_t to, int skip,
                                                   IsCode is_code, ResolveFrame resolve) {
  constexpr std::size_t kMaxFrames = 64;
  std::vector<StackFrame> frames;
  from &= ~(sizeof(void*) - 1);
  for (std::uintptr_t slot = from; slot + sizeof(void*) <= to; slot += sizeof(void*)) {
    const std::uintptr_t candidate = *reinterpret_cast<const std::uintptr_t*>(slot);
    if (candidate < 8 || !is_code(candidate - 7, candidate)) continue;
    if (!FollowsCallInstruction(reinterpret_cast<const unsigned char*>(candidate))) continue;
    if (skip > 0) {
      --skip;
      continue;
    }
    frames.push_back(resolve(candidate));
    if (frames.size() >= kMaxFrames) break;
  }
  return frames;
}

// Reports a C++ throw, from the __cxa_throw hook: `throw_address` is where
// the throw happened, `hook_frame` the hook's own frame, above which the
// scan starts so that the first frame is the throwing routine.
void ReportThrow(void* object, std::type_info* type, std::uintptr_t throw_address,
                 std::uintptr_t hook_frame);

// Platform part: the raw scan from a stack address of the calling thread.
std::vector<StackFrame> ScanFrom(std::uintptr_t from, int skip);
// Platform part: the module holding `address` and the offset into it.
void ModuleOf(std::uintptr_t address, RaisedException& e);

// Platform part: installs the fault handlers once.
void InstallFaultHandlers();

}  // namespace platform::internal
