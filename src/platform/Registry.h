// The registry: the real one on Windows; on POSIX a file-backed stand-in with
// the same rules (keys and value names compared without regard to case, keys
// opened before use, access masks checked only for the view bits).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class RegRoot : std::uint32_t {
  CurrentUser = 0x80000001u,
  LocalMachine = 0x80000002u,
};

// Access masks with the values the system gives them.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
inline constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
inline constexpr std::uint32_t kStandardRightsRead = 0x20000;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;

enum class RegType : std::uint32_t {
  None = 0,
  String = 1,
  ExpandString = 2,
  Binary = 3,
  DWord = 4,
  MultiString = 7,
};

struct RegValue {
  RegType type = RegType::None;
  std::string text;         // String and ExpandString, UTF-8
  std::uint32_t dword = 0;  // DWord
  std::string bytes;        // any other type, raw
};

// Result codes: 0 is success, anything else a system error code for
// SysErrorText (on POSIX: ENOENT for "not found", EACCES for "refused").
std::uint32_t RegErrorNotFound();

class RegKey {
 public:
  RegKey();
  RegKey(RegKey&&) noexcept;
  RegKey& operator=(RegKey&&) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey();

  // Opens an existing key; never creates one.
  std::uint32_t Open(RegRoot root, const std::string& path, std::uint32_t access);
  // Opens the key, creating it and every missing key above it.
  std::uint32_t Create(RegRoot root, const std::string& path, std::uint32_t access);
  void Close();
  bool IsOpen() const;

  std::uint32_t Query(const std::string& name, RegValue& out) const;
  std::uint32_t SetString(const std::string& name, const std::string& value,
                          RegType type = RegType::String);
  std::uint32_t SetDWord(const std::string& name, std::uint32_t value);
  // Writes a value of any type as Query gave it (text, dword or raw bytes),
  // so that a value read earlier can be put back as it was.
  std::uint32_t SetValue(const std::string& name, const RegValue& value);
  std::uint32_t DeleteValue(const std::string& name);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Deletes a key with everything below it (tests and uninstall-like clean-ups).
std::uint32_t RegDeleteKeyTree(RegRoot root, const std::string& path, std::uint32_t access);

// Tests make value writes fail: the hook gets the key path and value name and
// returns 0 to let the write through or the error code to refuse it with.
// Both implementations honour it; an empty function removes it.
void SetRegistryWriteHookForTesting(
    std::function<std::uint32_t(const std::string& key_path, const std::string& value_name)> hook);

// POSIX stand-in only: the file that holds the registry. Tests point it at a
// folder of their own; by default it lies in the user's configuration folder
// (or where NIMBRA_REGISTRY_FILE says). No effect on Windows.
void SetRegistryFile(const std::string& path);
std::string RegistryFile();

}  // namespace platform
