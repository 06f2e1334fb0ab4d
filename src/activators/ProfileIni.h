// An INI file edited the way the Windows private-profile functions edit one:
// sections and keys found without regard to case (the first of each counts),
// a written value replacing the key's value in place or adding the key (and
// the section) when missing, integers written as decimal text and read as
// decimal or, with a "0x" prefix, hexadecimal text, string reads cut at 2047
// characters. Every other line stays exactly as it was. The file is read
// once when opened; UpdateFile writes all changes at once, atomically.
#pragma once

#include <cstdint>
#include <string>

#include "activators/TextFiles.h"

class TProfileIni {
 public:
  // Reads the file (a missing file is an empty one); a file that exists but
  // cannot be read raises EFileReadError.
  explicit TProfileIni(const std::string& FileName);
  // The file's text already decoded (nothing is read).
  TProfileIni(const std::string& FileName, TTextFile File);

  const TTextFile& File() const { return FFile; }

  const std::string& FileName() const { return FFileName; }

  std::string ReadString(const std::string& Section, const std::string& Key,
                         const std::string& Default) const;
  std::int32_t ReadInteger(const std::string& Section, const std::string& Key,
                           std::int32_t Default) const;
  void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
  void WriteInteger(const std::string& Section, const std::string& Key, std::int32_t Value);

  // Writes the file when anything changed; raises EFileWriteError naming the
  // file when that fails, leaving the file as it was.
  void UpdateFile();
  bool Modified() const { return FModified; }

  // Line-level edits for putting a key back as it stood.
  bool HasSection(const std::string& Section) const;
  // Whether the last line has anything but blanks (a section added at the
  // end is then set off by an empty line).
  bool EndsWithText() const;
  // The key's whole line; false when the key is missing.
  bool KeyLine(const std::string& Section, const std::string& Key, std::string& Line) const;
  // Replaces the key's whole line; false when the key is missing.
  bool ReplaceKeyLine(const std::string& Section, const std::string& Key, const std::string& Line);
  bool DeleteKey(const std::string& Section, const std::string& Key);
  // Removes the section's header when nothing but blank and comment lines
  // are left in it, and then also the empty line before the header when
  // `AndBlankLineBefore`; false when the section stays.
  bool DeleteSectionIfEmpty(const std::string& Section, bool AndBlankLineBefore);

 private:
  // The line holding the key in the section, or -1; `SectionEnd` receives the
  // line after the section's last non-empty line (-1 when the section is missing).
  long FindKey(const std::string& Section, const std::string& Key, long* SectionEnd) const;

  std::string FFileName;
  TTextFile FFile;
  bool FModified = false;
};
