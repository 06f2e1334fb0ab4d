// One-shot registry operations whose access masks all carry the process-wide
// view flag RegistryView, so that the 32-bit program can switch every one of
// them to the 64-bit registry of a 64-bit Windows at once.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/Registry.h"

// A value write the registry refused; the message names the value.
class ERegistryWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 0 (the process's own view) or KEY_WOW64_64KEY; OR-ed into every access
// mask below. Only the system proxy activator changes it.
extern std::uint32_t RegistryView;

// True with the value in `Value`; false (and `Value` untouched) when the key
// cannot be opened or the value is missing or not a 32-bit integer.
bool ReadRegistryInteger(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                         std::int32_t& Value);

// `Value` is emptied first. A missing value reads as empty and counts as
// success; a key that cannot be opened or a value that is not text reports
// false.
bool ReadRegistryString(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                        std::string& Value);

bool RegistryKeyExists(platform::RegRoot RootKey, const std::string& Key);

// Both write into an existing key only: a key that cannot be opened is left
// alone silently. A refused write raises ERegistryWriteError.
void WriteRegistryString(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                         const std::string& Value);
void WriteRegistryInteger(platform::RegRoot RootKey, const std::string& Key,
                          const std::string& Name, std::int32_t Value);

// The value as it stands, of any type: true with it in `Value`; false when
// it is missing or the key cannot be opened.
bool QueryRegistryValue(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                        platform::RegValue& Value);
// Puts a value back as QueryRegistryValue gave it, into an existing key
// only (as the writes above); a refused write raises ERegistryWriteError.
void SetRegistryValue(platform::RegRoot RootKey, const std::string& Key, const std::string& Name,
                      const platform::RegValue& Value);
// Removes the value; one that is missing already is fine, a refusal raises
// ERegistryWriteError.
void DeleteRegistryValue(platform::RegRoot RootKey, const std::string& Key,
                         const std::string& Name);
