// The exception hook on POSIX: __cxa_throw is interposed (executables are
// linked with -rdynamic, so throws inside the C++ runtime come here too) and
// hardware faults are caught by signal handlers that then pass the signal on
// to whatever handler was there before.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <typeinfo>

#include "platform/ExceptionHook.h"
#include "platform/ExceptionHookInternal.h"
#include "platform/posix/ElfSymbols.h"

namespace platform {

namespace {

struct ExecRange {
  std::uintptr_t begin;
  std::uintptr_t end;
};

int CollectExecRanges(dl_phdr_info* info, std::size_t, void* data) {
  auto* ranges = static_cast<std::vector<ExecRange>*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) {
      const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
      ranges->push_back({begin, begin + ph.p_memsz});
    }
  }
  return 0;
}

void StackBounds(std::uintptr_t& low, std::uintptr_t& high) {
  thread_local std::uintptr_t t_low = 0;
  thread_local std::uintptr_t t_high = 0;
  if (t_high == 0) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        t_low = reinterpret_cast<std::uintptr_t>(addr);
        t_high = t_low + size;
      }
      pthread_attr_destroy(&attr);
    }
  }
  low = t_low;
  high = t_high;
}

StackFrame Resolve(std::uintptr_t address) {
  StackFrame frame;
  frame.address = address;
  // address - 1 lies inside the call instruction, so inside the caller. The
  // object's own symbol table knows the routines that the dynamic symbols
  // leave out (static ones, those of anonymous namespaces).
  frame.routine = posix::RoutineOfLoadedCode(address - 1);
  Dl_info info{};
  if (frame.routine.empty() && dladdr(reinterpret_cast<void*>(address - 1), &info) != 0 &&
      info.dli_sname != nullptr) {
    frame.routine = internal::RoutineName(info.dli_sname);
  }
  return frame;
}

PLATFORM_NO_ASAN __attribute__((noinline)) std::vector<StackFrame> ScanFromImpl(std::uintptr_t from,
                                                                                int skip) {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  StackBounds(low, high);
  if (high == 0 || from < low || from >= high) return {};
  std::vector<ExecRange> ranges;
  dl_iterate_phdr(CollectExecRanges, &ranges);
  auto is_code = [&ranges](std::uintptr_t begin, std::uintptr_t end) {
    for (const ExecRange& r : ranges) {
      if (begin >= r.begin && end <= r.end) return true;
    }
    return false;
  };
  return internal::ScanStack(from, high, skip, is_code, Resolve);
}

void ModuleOfImpl(std::uintptr_t address, RaisedException& e) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_fname != nullptr) {
    const char* slash = std::strrchr(info.dli_fname, '/');
    e.module_name = slash != nullptr ? slash + 1 : info.dli_fname;
    e.offset = address - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  } else {
    e.offset = address;
  }
}

// ---- hardware faults ----

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof kFaultSignals / sizeof kFaultSignals[0]];
std::once_flag g_install_once;

int SignalIndex(int signal_number) {
  for (std::size_t i = 0; i < sizeof kFaultSignals / sizeof kFaultSignals[0]; ++i) {
    if (kFaultSignals[i] == signal_number) return static_cast<int>(i);
  }
  return -1;
}

std::uintptr_t FaultAddress(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#else
  (void)uc;
  return 0;
#endif
}

void Describe(int signal_number, siginfo_t* info, std::uintptr_t pc, RaisedException& e) {
  char text[160];
  const auto target = reinterpret_cast<std::uintptr_t>(info->si_addr);
  switch (signal_number) {
    case SIGSEGV:
    case SIGBUS:
      e.class_name = "EAccessViolation";
      std::snprintf(text, sizeof text,
                    "Access violation at address %08llX. Access of address %08llX",
                    static_cast<unsigned long long>(pc), static_cast<unsigned long long>(target));
      break;
    case SIGFPE:
      e.class_name = info->si_code == FPE_INTDIV ? "EDivByZero" : "EMathError";
      std::snprintf(text, sizeof text, "%s",
                    info->si_code == FPE_INTDIV ? "Division by zero" : "Floating point error");
      break;
    default:
      e.class_name = "EPrivilege";
      std::snprintf(text, sizeof text, "Illegal instruction at address %08llX",
                    static_cast<unsigned long long>(pc));
      break;
  }
  e.message = text;
}

void FaultHandler(int signal_number, siginfo_t* info, void* context) {
  const int index = SignalIndex(signal_number);
  {
    RaisedException e;
    e.is_fault = true;
    const std::uintptr_t pc = FaultAddress(context);
    Describe(signal_number, info, pc, e);
    ModuleOfImpl(pc, e);
    int marker = 0;
    e.frames = ScanFromImpl(reinterpret_cast<std::uintptr_t>(&marker), 0);
    internal::NotifyRaised(e);
  }
  // Pass the fault on as if this handler had not been there.
  if (index < 0) return;
  const struct sigaction& previous = g_previous[index];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
      previous.sa_handler != nullptr) {
    previous.sa_handler(signal_number);
    return;
  }
  // Default action: restore it and let the faulting instruction run again.
  signal(signal_number, SIG_DFL);
}

}  // namespace

namespace internal {

std::vector<StackFrame> ScanFrom(std::uintptr_t from, int skip) { return ScanFromImpl(from, skip); }
void ModuleOf(std::uintptr_t address, RaisedException& e) { ModuleOfImpl(address, e); }

void InstallFaultHandlers() {
  std::call_once(g_install_once, [] {
    // A separate stack is not set up: overflow faults are out of reach of
    // a logger that itself needs stack.
    for (std::size_t i = 0; i < sizeof kFaultSignals / sizeof kFaultSignals[0]; ++i) {
      struct sigaction action {};
      action.sa_sigaction = FaultHandler;
      action.sa_flags = SA_SIGINFO;
      sigemptyset(&action.sa_mask);
      sigaction(kFaultSignals[i], &action, &g_previous[i]);
    }
  });
}

}  // namespace internal

}  // namespace platform

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

extern "C" __attribute__((noreturn)) void __cxa_throw(void* object, std::type_info* type,
                                                      void (*destructor)(void*)) {
  static CxaThrow real = reinterpret_cast<CxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  platform::internal::ReportThrow(object, type,
                                  reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)),
                                  reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  real(object, type, destructor);
  __builtin_unreachable();
}
