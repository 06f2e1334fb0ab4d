#include <windows.h>

#include <cstring>

#include "platform/Registry.h"
#include "platform/RegistryInternal.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::U;
using win32::W;

struct RegKey::State {
  HKEY key = nullptr;
  std::string path;
};

namespace {
HKEY RootHandle(RegRoot root) {
  return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}
}  // namespace

std::uint32_t RegErrorNotFound() { return ERROR_FILE_NOT_FOUND; }

RegKey::RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}
RegKey::~RegKey() { Close(); }

std::uint32_t RegKey::Open(RegRoot root, const std::string& path, std::uint32_t access) {
  Close();
  HKEY key = nullptr;
  const LONG error = RegOpenKeyExW(RootHandle(root), W(path).c_str(), 0, access, &key);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  state_ = std::make_unique<State>(State{key, path});
  return 0;
}

std::uint32_t RegKey::Create(RegRoot root, const std::string& path, std::uint32_t access) {
  Close();
  HKEY key = nullptr;
  const LONG error = RegCreateKeyExW(RootHandle(root), W(path).c_str(), 0, nullptr, 0, access,
                                     nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  state_ = std::make_unique<State>(State{key, path});
  return 0;
}

void RegKey::Close() {
  if (state_ && state_->key != nullptr) RegCloseKey(state_->key);
  state_.reset();
}

bool RegKey::IsOpen() const { return state_ != nullptr; }

std::uint32_t RegKey::Query(const std::string& name, RegValue& out) const {
  if (!state_) return ERROR_INVALID_HANDLE;
  const std::wstring wide_name = W(name);
  DWORD type = 0;
  DWORD size = 0;
  LONG error = RegQueryValueExW(state_->key, wide_name.c_str(), nullptr, &type, nullptr, &size);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  std::string data(size, '\0');
  error = RegQueryValueExW(state_->key, wide_name.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(data.data()), &size);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  data.resize(size);
  out = RegValue{};
  out.type = static_cast<RegType>(type);
  if (type == REG_DWORD && data.size() >= 4) {
    std::memcpy(&out.dword, data.data(), 4);
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    out.text = U(text);
  } else {
    out.bytes = data;
  }
  return 0;
}

std::uint32_t RegKey::SetString(const std::string& name, const std::string& value, RegType type) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (const std::uint32_t refused = internal::RegistryWriteRefusal(state_->path, name))
    return refused;
  const std::wstring text = W(value);
  return static_cast<std::uint32_t>(RegSetValueExW(
      state_->key, W(name).c_str(), 0, type == RegType::ExpandString ? REG_EXPAND_SZ : REG_SZ,
      reinterpret_cast<const BYTE*>(text.c_str()),
      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}

std::uint32_t RegKey::SetDWord(const std::string& name, std::uint32_t value) {
  if (!state_) return ERROR_INVALID_HANDLE;
  if (const std::uint32_t refused = internal::RegistryWriteRefusal(state_->path, name))
    return refused;
  const DWORD data = value;
  return static_cast<std::uint32_t>(RegSetValueExW(state_->key, W(name).c_str(), 0, REG_DWORD,
                                                   reinterpret_cast<const BYTE*>(&data),
                                                   sizeof data));
}

std::uint32_t RegKey::SetValue(const std::string& name, const RegValue& value) {
  if (value.type == RegType::String || value.type == RegType::ExpandString)
    return SetString(name, value.text, value.type);
  if (value.type == RegType::DWord) return SetDWord(name, value.dword);
  if (!state_) return ERROR_INVALID_HANDLE;
  if (const std::uint32_t refused = internal::RegistryWriteRefusal(state_->path, name))
    return refused;
  return static_cast<std::uint32_t>(RegSetValueExW(
      state_->key, W(name).c_str(), 0, static_cast<DWORD>(value.type),
      reinterpret_cast<const BYTE*>(value.bytes.data()), static_cast<DWORD>(value.bytes.size())));
}

std::uint32_t RegKey::DeleteValue(const std::string& name) {
  if (!state_) return ERROR_INVALID_HANDLE;
  return static_cast<std::uint32_t>(RegDeleteValueW(state_->key, W(name).c_str()));
}

std::uint32_t RegDeleteKeyTree(RegRoot root, const std::string& path, std::uint32_t access) {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(RootHandle(root), W(path).c_str(), 0, KEY_ALL_ACCESS | access, &key);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  error = RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  if (error != ERROR_SUCCESS) return static_cast<std::uint32_t>(error);
  return static_cast<std::uint32_t>(RegDeleteKeyExW(
      RootHandle(root), W(path).c_str(), access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY), 0));
}

void SetRegistryFile(const std::string&) {}

std::string RegistryFile() { return ""; }

}  // namespace platform
