// Clock, error texts, text conversion and library loading on Windows.
#include <windows.h>

#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/SysError.h"
#include "platform/Text.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

namespace internal {
LocalTime SystemNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}
}  // namespace internal

char TimeSeparator() {
  wchar_t buffer[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, buffer, 8) > 0 && buffer[0] != 0 &&
      buffer[0] < 0x80) {
    return static_cast<char>(buffer[0]);
  }
  return ':';
}

std::uint32_t LastError() { return GetLastError(); }

void SetLastError(std::uint32_t code) { ::SetLastError(code); }

std::string SystemErrorMessage(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer),
      0, nullptr);
  std::string text = n > 0 && buffer != nullptr ? U(std::wstring(buffer, n)) : "";
  if (buffer != nullptr) LocalFree(buffer);
  return text;
}

std::string Utf8ToAnsi(std::string_view text) {
  if (text.empty()) return "";
  const std::u16string wide16 = Utf8ToUtf16(text);
  const std::wstring wide(wide16.begin(), wide16.end());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

std::string AnsiToUtf8(std::string_view text) {
  if (text.empty()) return "";
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return U(wide);
}

ModuleHandle LoadDynamicLibrary(const std::string& path) {
  return reinterpret_cast<ModuleHandle>(LoadLibraryW(W(path).c_str()));
}

void* GetLibrarySymbol(ModuleHandle module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

bool FreeDynamicLibrary(ModuleHandle module) {
  return FreeLibrary(reinterpret_cast<HMODULE>(module)) != 0;
}

void* GetSystemSymbol(const char* library, const char* name) {
  const std::wstring wide = W(library);
  HMODULE module = GetModuleHandleW(wide.c_str());
  // Console programs may not have the windowing libraries loaded yet.
  if (module == nullptr) module = LoadLibraryW(wide.c_str());
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

}  // namespace platform
