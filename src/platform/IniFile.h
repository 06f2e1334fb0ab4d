// INI files: the system's private-profile functions on Windows, a text
// implementation with the same rules elsewhere. Section and key names are
// compared without regard to case; values are read trimmed of surrounding
// blanks, without one pair of matching surrounding quotes, and cut at 2,047
// characters; a write creates the file, the section and the key as needed and
// replaces an existing value in place. Only the first section of a name counts.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// A failed INI write: "Unable to write to <file>".
class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace platform {

// The longest value a read returns, in UTF-16 code units.
inline constexpr std::size_t kIniMaxValueLength = 2047;

// The raw operations of each platform. Reads give nothing for a missing (or
// unreadable) file, section or key. Writes and deletes return false on
// failure with the system error in LastError(); deleting from a missing file,
// section or key succeeds without creating anything.
std::optional<std::string> IniReadValue(const std::string& file, const std::string& section,
                                        const std::string& key);
bool IniWriteValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value);
bool IniDeleteKey(const std::string& file, const std::string& section, const std::string& key);

// The integer rules of INI reads: decimal with an optional minus sign, or
// hexadecimal after "0x", "0X" or "$" (up to 32 bits, taken as the bit
// pattern). Nothing for any other text or a decimal outside 32 bits.
std::optional<std::int32_t> ParseIniInteger(const std::string& text);

// Typed access to one INI file. Reads never raise; writes raise
// EIniFileError when the file cannot be written.
class IniFile {
 public:
  explicit IniFile(std::string file_name);

  const std::string& FileName() const { return file_name_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t default_value) const;
  // An integer that is not 0; the default when the text is not a number.
  bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;

  // Line breaks in a value are written as blanks: a value must never start
  // new lines (and so new keys) in the file.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void DeleteKey(const std::string& section, const std::string& key);

 private:
  [[noreturn]] void RaiseWriteError() const;

  std::string file_name_;
};

}  // namespace platform
