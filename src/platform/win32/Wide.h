// UTF-8 <-> wide strings for the Win32 calls of this folder.
#pragma once

#include <string>

#include "platform/Text.h"

namespace platform::win32 {

inline std::wstring W(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

inline std::string U(const wchar_t* text) {
  if (text == nullptr) return "";
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text)));
}

inline std::string U(const std::wstring& text) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace platform::win32
