#include "activators/Registryx86x64.h"

#include "platform/SysError.h"

std::uint32_t RegistryView = 0;

namespace {

std::uint32_t ReadMask() { return platform::kKeyRead | RegistryView; }
std::uint32_t WriteMask() { return platform::kKeyRead | platform::kKeyWrite | RegistryView; }

[[noreturn]] void RaiseWriteError(const std::string& Name, std::uint32_t Code) {
  std::string reason = platform::SystemErrorMessage(Code);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  throw ERegistryWriteError("Cannot write the registry value \"" + Name + "\" (error " +
                            std::to_string(Code) + (reason.empty() ? "" : ": " + reason) + ")");
}

}  // namespace

bool ReadRegistryInteger(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                         std::int32_t& Value) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, ReadMask()) != 0) return false;
  platform::RegValue data;
  if (reg.Query(Name, data) != 0 || data.type != platform::RegType::DWord) return false;
  Value = static_cast<std::int32_t>(data.dword);
  return true;
}

bool ReadRegistryString(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                        std::string& Value) {
  Value.clear();
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, ReadMask()) != 0) return false;
  platform::RegValue data;
  const std::uint32_t error = reg.Query(Name, data);
  if (error == platform::RegErrorNotFound()) return true;
  if (error != 0) return false;
  if (data.type != platform::RegType::String && data.type != platform::RegType::ExpandString) {
    return false;
  }
  Value = data.text;
  return true;
}

bool RegistryKeyExists(platform::RegRoot RootKey, const std::string& Key) {
  platform::RegKey reg;
  return reg.Open(RootKey, Key,
                  platform::kStandardRightsRead | platform::kKeyQueryValue |
                      platform::kKeyEnumerateSubKeys | RegistryView) == 0;
}

void WriteRegistryString(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                         const std::string& Value) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, WriteMask()) != 0) return;
  if (const std::uint32_t error = reg.SetString(Name, Value)) RaiseWriteError(Name, error);
}

void WriteRegistryInteger(platform::RegRoot RootKey, const std::string& Key,
                          const std::string& Name, std::int32_t Value) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, WriteMask()) != 0) return;
  if (const std::uint32_t error = reg.SetDWord(Name, static_cast<std::uint32_t>(Value))) {
    RaiseWriteError(Name, error);
  }
}

bool QueryRegistryValue(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                        platform::RegValue& Value) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, ReadMask()) != 0) return false;
  return reg.Query(Name, Value) == 0;
}

void SetRegistryValue(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                      const platform::RegValue& Value) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, WriteMask()) != 0) return;
  if (const std::uint32_t error = reg.SetValue(Name, Value)) RaiseWriteError(Name, error);
}

void DeleteRegistryValue(platform::RegRoot RootKey, const std::string& Key,
                         const std::string& Name) {
  platform::RegKey reg;
  if (reg.Open(RootKey, Key, WriteMask()) != 0) return;
  const std::uint32_t error = reg.DeleteValue(Name);
  if (error != 0 && error != platform::RegErrorNotFound()) RaiseWriteError(Name, error);
}
