// A process-wide notifier that sees every exception at the moment it is
// raised, in the raising thread, before any handler runs: C++ throws (caught
// where they are thrown, since DWARF unwinding never passes through the
// system's exception dispatch) and hardware faults (a vectored handler on
// Windows, signal handlers on POSIX).
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace platform {

struct StackFrame {
  std::uintptr_t address = 0;
  std::string routine;  // "Unit.Routine" where a symbol source knows it
  std::string source_file;
  int line = 0;  // 0 when unknown
};

struct RaisedException {
  std::string class_name;
  std::string message;
  std::string module_name;         // file name without folder
  std::uintptr_t offset = 0;       // raising address minus the module's base
  bool is_fault = false;           // a hardware fault rather than a throw
  bool is_abort = false;           // the silent abort: no stack captured
  std::vector<StackFrame> frames;  // innermost first
};

using ExceptionNotifier = void (*)(const RaisedException& exception);

// Installs the hooks once; later calls only replace the notifier.
void InstallExceptionNotifier(ExceptionNotifier notifier);

// The readable name of a type ("std::runtime_error", "EAbort").
std::string DemangledName(const std::type_info& type);

// Throws of this type are the silent abort: reported without a stack.
void SetSilentAbortType(const std::type_info* type);

// The raw stack scan of the calling thread: every stack slot above the
// current one that holds a plausible return address (one that points just
// behind a call instruction in executable code). `skip` drops that many
// innermost frames (the capture machinery's own).
std::vector<StackFrame> CaptureStack(int skip = 0);

}  // namespace platform
