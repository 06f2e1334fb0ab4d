#include <windows.h>

#include "platform/Resources.h"
#include "platform/win32/Wide.h"

namespace platform {

std::optional<std::string_view> FindProgramResource(const std::string& name) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, win32::W(name).c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (info == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return std::nullopt;
  const void* data = LockResource(loaded);
  if (data == nullptr) return std::nullopt;
  return std::string_view(static_cast<const char*>(data), SizeofResource(module, info));
}

}  // namespace platform
