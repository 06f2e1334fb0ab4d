// The INI text model behind the POSIX implementation (portable, so it also
// builds for the fuzz target). Lines are kept as they were read; an edit
// touches only the line it changes, or adds lines, so the rest of the file is
// written back byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::internal {

class IniDocument {
 public:
  // Any bytes: a UTF-8 byte-order mark is kept aside and written back; other
  // text is taken as 8-bit (the ANSI code page, UTF-8 on POSIX).
  static IniDocument Parse(std::string_view bytes);

  // The value of the first matching key in the first matching section,
  // trimmed, without one pair of matching quotes, cut at kIniMaxValueLength
  // UTF-16 code units, as valid UTF-8.
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;

  // Replaces the value of an existing key in place, or adds the key at the
  // end of the section, or the section at the end of the file. `value` must
  // hold no line break.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // Removes the key's line; false when there was none.
  bool Delete(std::string_view section, std::string_view key);

  std::string Serialize() const;

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
  };

  // Index of the first section header line named `section`, or npos.
  std::size_t FindSection(std::string_view section) const;
  // Index of the key's line inside the section that starts at `header`.
  std::size_t FindKey(std::size_t header, std::string_view key) const;
  // One past the section's last line that is not blank.
  std::size_t SectionInsertPoint(std::size_t header) const;
  std::string NewLineEnd() const;

  std::string bom_;
  std::vector<Line> lines_;
};

}  // namespace platform::internal
