#include <shlobj.h>
#include <windows.h>

#include "platform/Paths.h"
#include "platform/PathsInternal.h"
#include "platform/ShortPath.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) {
      buffer.resize(n);
      return U(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(W(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ShortPath(const std::string& path) {
  const std::wstring wide = W(path);
  const DWORD size = GetShortPathNameW(wide.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::wstring out(size, L'\0');
  const DWORD written = GetShortPathNameW(wide.c_str(), out.data(), size);
  if (written == 0 || written >= size) return path;
  out.resize(written);
  return U(out);
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(W(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace internal {

std::string SystemSpecialFolder(SpecialFolder folder) {
  int csidl = CSIDL_COMMON_DOCUMENTS;
  if (folder == SpecialFolder::AppData) csidl = CSIDL_APPDATA;
  if (folder == SpecialFolder::Fonts) csidl = CSIDL_FONTS;
  wchar_t buffer[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return "";
  return U(buffer);
}

bool MakeDirectory(const std::string& path) {
  return CreateDirectoryW(W(path).c_str(), nullptr) != 0;
}

}  // namespace internal
}  // namespace platform
