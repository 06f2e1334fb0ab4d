// INI files on Windows: the system's private-profile functions.
#include <windows.h>

#include <vector>

#include "platform/IniFile.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

namespace {

// The profile functions hand back the default for a missing key, so a missing
// key is told from a stored value by asking with two different defaults.
const wchar_t kMissingA[] = L"\x01<missing>\x01";
const wchar_t kMissingB[] = L"\x02<missing>\x02";

std::wstring ReadWithDefault(const std::wstring& file, const std::wstring& section,
                             const std::wstring& key, const wchar_t* default_value) {
  std::vector<wchar_t> buffer(kIniMaxValueLength + 1);
  const DWORD n =
      GetPrivateProfileStringW(section.c_str(), key.c_str(), default_value, buffer.data(),
                               static_cast<DWORD>(buffer.size()), file.c_str());
  return std::wstring(buffer.data(), n);
}

}  // namespace

std::optional<std::string> IniReadValue(const std::string& file, const std::string& section,
                                        const std::string& key) {
  const std::wstring f = W(file), s = W(section), k = W(key);
  const std::wstring first = ReadWithDefault(f, s, k, kMissingA);
  if (first != kMissingA) return U(first);
  const std::wstring second = ReadWithDefault(f, s, k, kMissingB);
  if (second == kMissingB) return std::nullopt;
  return U(second);
}

bool IniWriteValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  return WritePrivateProfileStringW(W(section).c_str(), W(key).c_str(), W(value).c_str(),
                                    W(file).c_str()) != 0;
}

bool IniDeleteKey(const std::string& file, const std::string& section, const std::string& key) {
  return WritePrivateProfileStringW(W(section).c_str(), W(key).c_str(), nullptr, W(file).c_str()) !=
         0;
}

}  // namespace platform
