#include "platform/ExceptionHook.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>

#include "platform/ExceptionHookInternal.h"

namespace platform {

namespace {
std::atomic<ExceptionNotifier> g_notifier{nullptr};
std::atomic<const std::type_info*> g_abort_type{nullptr};
thread_local bool t_in_notifier = false;
}  // namespace

std::string DemangledName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

void SetSilentAbortType(const std::type_info* type) { g_abort_type = type; }

void InstallExceptionNotifier(ExceptionNotifier notifier) {
  g_notifier = notifier;
  internal::InstallFaultHandlers();
}

__attribute__((noinline)) std::vector<StackFrame> CaptureStack(int skip) {
  int marker = 0;
  return internal::ScanFrom(reinterpret_cast<std::uintptr_t>(&marker), skip);
}

namespace internal {

bool NotifierInstalled() { return g_notifier.load() != nullptr; }

bool IsSilentAbort(const std::type_info* type) {
  const std::type_info* abort_type = g_abort_type.load();
  return abort_type != nullptr && type != nullptr && *abort_type == *type;
}

void NotifyRaised(RaisedException& exception) {
  const ExceptionNotifier notifier = g_notifier.load();
  if (notifier == nullptr || t_in_notifier) return;
  t_in_notifier = true;
  try {
    notifier(exception);
  } catch (...) {
    // Reporting must never change what happens to the exception itself.
  }
  t_in_notifier = false;
}

bool FollowsCallInstruction(const unsigned char* code) {
  if (code[-5] == 0xE8) return true;  // call rel32
  // call r/m (FF /2) with each possible length of its operand bytes; a REX or
  // segment prefix in front does not change where the instruction ends.
  auto is_call_modrm = [](unsigned char modrm) { return (modrm & 0x38) == 0x10; };
  if (code[-2] == 0xFF && is_call_modrm(code[-1]) && (code[-1] & 0xC0) == 0xC0) return true;
  if (code[-2] == 0xFF && is_call_modrm(code[-1]) && (code[-1] & 0xC0) == 0x00 &&
      (code[-1] & 7) != 4 && (code[-1] & 7) != 5) {
    return true;
  }
  if (code[-3] == 0xFF && is_call_modrm(code[-2]) &&
      (((code[-2] & 0xC0) == 0x40 && (code[-2] & 7) != 4) ||
       ((code[-2] & 0xC0) == 0x00 && (code[-2] & 7) == 4))) {
    return true;  // disp8, or a SIB byte without displacement
  }
  if (code[-4] == 0xFF && is_call_modrm(code[-3]) && (code[-3] & 0xC0) == 0x40 &&
      (code[-3] & 7) == 4) {
    return true;  // SIB + disp8
  }
  if (code[-6] == 0xFF && is_call_modrm(code[-5]) &&
      (((code[-5] & 0xC0) == 0x80 && (code[-5] & 7) != 4) ||
       ((code[-5] & 0xC0) == 0x00 && (code[-5] & 7) == 5))) {
    return true;  // disp32, or an absolute / rip-relative address
  }
  if (code[-7] == 0xFF && is_call_modrm(code[-6]) && (code[-6] & 0xC0) == 0x80 &&
      (code[-6] & 7) == 4) {
    return true;  // SIB + disp32
  }
  return false;
}

std::string RoutineName(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  // Drop the parameter list: the first "(" outside template brackets.
  int depth = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>') --depth;
    if (name[i] == '(' && depth == 0 && i > 0 && name.compare(0, i, "operator") != 0 &&
        !(i >= 8 && name.compare(i - 8, 8, "operator") == 0)) {
      name.resize(i);
      break;
    }
  }
  std::string dotted;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name.compare(i, 2, "::") == 0) {
      dotted += '.';
      ++i;
    } else {
      dotted += name[i];
    }
  }
  return dotted;
}

std::string ThrownMessage(void* object, const std::type_info* type) {
  if (object == nullptr || type == nullptr) return "";
  // Asks the runtime whether the thrown type converts to std::exception, as a
  // catch clause would, and gets the adjusted pointer.
  void* adjusted = object;
  if (typeid(std::exception).__do_catch(type, &adjusted, 1)) {
    return static_cast<const std::exception*>(adjusted)->what();
  }
  return "";
}

void ReportThrow(void* object, std::type_info* type, std::uintptr_t throw_address,
                 std::uintptr_t hook_frame) {
  if (!NotifierInstalled()) return;
  RaisedException e;
  e.class_name = type != nullptr ? DemangledName(*type) : "";
  e.message = ThrownMessage(object, type);
  ModuleOf(throw_address, e);
  e.is_abort = IsSilentAbort(type);
  if (!e.is_abort) e.frames = ScanFrom(hook_frame, 0);
  NotifyRaised(e);
}

}  // namespace internal
}  // namespace platform
