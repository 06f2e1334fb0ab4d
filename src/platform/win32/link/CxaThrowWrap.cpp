// Linked into every Windows executable as an object of its own (not from the
// platform library), because the C++ runtime's own throws, which come later on
// the link line, need the wrapper too.
#include <cstdint>
#include <typeinfo>

#include "platform/ExceptionHookInternal.h"

// The runtime's own declaration: destructors are __thiscall on i686 only (the
// x86_64 convention has one way of calling).
#if defined(__i386__)
using Destructor = void(__thiscall*)(void*);
#else
using Destructor = void (*)(void*);
#endif

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, Destructor destructor);

[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, Destructor destructor) {
  platform::internal::ReportThrow(object, type,
                                  reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)),
                                  reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  __real___cxa_throw(object, type, destructor);
}
}
