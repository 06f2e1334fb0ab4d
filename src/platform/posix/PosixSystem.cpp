// Clock, error texts, text conversion and library loading on POSIX.
#include <dlfcn.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace platform {

namespace internal {
LocalTime SystemNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return {local.tm_year + 1900,
          local.tm_mon + 1,
          local.tm_mday,
          local.tm_hour,
          local.tm_min,
          local.tm_sec,
          static_cast<int>(ts.tv_nsec / 1000000)};
}
}  // namespace internal

char TimeSeparator() { return ':'; }

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

void SetLastError(std::uint32_t code) { errno = static_cast<int>(code); }

std::string SystemErrorMessage(std::uint32_t code) {
  char buffer[512];
  // The GNU variant may return a static text instead of filling the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text != nullptr ? text : "";
}

// The ANSI code page of a POSIX system is UTF-8.
std::string Utf8ToAnsi(std::string_view text) { return std::string(text); }
std::string AnsiToUtf8(std::string_view text) { return std::string(text); }

ModuleHandle LoadDynamicLibrary(const std::string& path) {
  errno = 0;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // dlopen reports through dlerror; keep a system code for the caller.
    if (errno == 0) errno = access(path.c_str(), F_OK) == 0 ? ENOEXEC : ENOENT;
    return 0;
  }
  return reinterpret_cast<ModuleHandle>(handle);
}

void* GetLibrarySymbol(ModuleHandle module, const char* name) {
  if (module == 0) {
    errno = EINVAL;
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(reinterpret_cast<void*>(module), name);
  if (symbol == nullptr) errno = ENOENT;
  return symbol;
}

bool FreeDynamicLibrary(ModuleHandle module) {
  if (module == 0) {
    errno = EINVAL;
    return false;
  }
  if (dlclose(reinterpret_cast<void*>(module)) != 0) {
    errno = EINVAL;
    return false;
  }
  return true;
}

void* GetSystemSymbol(const char*, const char*) { return nullptr; }

}  // namespace platform
