#include "activators/ProfileIni.h"

#include <cerrno>
#include <cstdlib>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t kMaxStringRead = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The section name of a "[name]" line; false for other lines.
bool SectionName(std::string_view line, std::string_view& name) {
  // Most lines are not headers: look at the first non-blank character only.
  std::size_t first = 0;
  while (first < line.size() && IsBlank(line[first])) ++first;
  if (first == line.size() || line[first] != '[') return false;
  line = Trim(line.substr(first));
  const std::size_t close = line.find(']');
  name = Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  return true;
}

// The key of a "key=value" line (a line without "=" is a key without value).
std::string_view KeyName(std::string_view line) { return Trim(line.substr(0, line.find('='))); }

std::string ValueOf(std::string_view line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return "";
  std::string_view value = Trim(line.substr(equals + 1));
  // Values may be quoted to keep their blanks; the quotes are not part of them.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// Cuts after `count` characters without splitting a UTF-8 sequence.
std::string CutCharacters(std::string text, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == count) {
      text.resize(i);
      break;
    }
  }
  return text;
}

// Line breaks would split the value over lines of its own.
std::string OneLine(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

}  // namespace

TProfileIni::TProfileIni(const std::string& FileName) : FFileName(FileName) {
  if (platform::FileExists(FileName)) FFile = LoadTextFile(FileName);
}

TProfileIni::TProfileIni(const std::string& FileName, TTextFile File)
    : FFileName(FileName), FFile(std::move(File)) {}

long TProfileIni::FindKey(const std::string& Section, const std::string& Key,
                          long* SectionEnd) const {
  const auto& lines = FFile.Lines;
  if (SectionEnd != nullptr) *SectionEnd = -1;
  bool inside = false;
  bool seen = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (SectionName(lines[i], name)) {
      if (inside) return -1;  // only the first section of that name counts
      inside = platform::SameTextAscii(name, Section);
      if (inside && SectionEnd != nullptr) *SectionEnd = static_cast<long>(i) + 1;
      seen = seen || inside;
      continue;
    }
    if (!inside) continue;
    const std::string_view line = Trim(lines[i]);
    if (line.empty() || line.front() == ';') continue;
    if (SectionEnd != nullptr) *SectionEnd = static_cast<long>(i) + 1;
    if (platform::SameTextAscii(KeyName(line), Key)) return static_cast<long>(i);
  }
  return -1;
}

std::string TProfileIni::ReadString(const std::string& Section, const std::string& Key,
                                    const std::string& Default) const {
  const long at = FindKey(Section, Key, nullptr);
  const std::string value = at < 0 ? Default : ValueOf(FFile.Lines[static_cast<std::size_t>(at)]);
  return CutCharacters(value, kMaxStringRead);
}

std::int32_t TProfileIni::ReadInteger(const std::string& Section, const std::string& Key,
                                      std::int32_t Default) const {
  const std::string text = ReadString(Section, Key, "");
  if (text.empty()) return Default;
  std::string_view digits = text;
  bool negative = false;
  if (digits.front() == '-' || digits.front() == '+') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty() || IsBlank(digits.front()) || digits.front() == '-' || digits.front() == '+') {
    return Default;
  }
  const std::string owned(digits);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(owned.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return Default;
  // Decimal text must fit a signed 32-bit integer; hexadecimal text may use
  // all 32 bits ("0xFFFFFFFF" is -1).
  const unsigned long long limit =
      base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  if (parsed > limit) return Default;
  const auto bits = static_cast<std::uint32_t>(parsed);
  return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

void TProfileIni::WriteString(const std::string& Section, const std::string& Key,
                              const std::string& Value) {
  auto& lines = FFile.Lines;
  long section_end = -1;
  const long at = FindKey(Section, Key, &section_end);
  const std::string value = OneLine(Value);
  if (at >= 0) {
    std::string& line = lines[static_cast<std::size_t>(at)];
    const std::string key(KeyName(line));
    const std::string replaced = key + "=" + value;
    if (replaced != line) {
      line = replaced;
      FModified = true;
    }
    return;
  }
  if (section_end >= 0) {
    lines.insert(lines.begin() + section_end, Key + "=" + value);
  } else {
    // A new section goes at the end, set off by an empty line.
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + Section + "]");
    lines.push_back(Key + "=" + value);
  }
  FModified = true;
}

void TProfileIni::WriteInteger(const std::string& Section, const std::string& Key,
                               std::int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TProfileIni::UpdateFile() {
  if (!FModified) return;
  SaveTextFile(FFileName, FFile);
  FModified = false;
}

bool TProfileIni::HasSection(const std::string& Section) const {
  for (const std::string& line : FFile.Lines) {
    std::string_view name;
    if (SectionName(line, name) && platform::SameTextAscii(name, Section)) return true;
  }
  return false;
}

bool TProfileIni::EndsWithText() const {
  return !FFile.Lines.empty() && !Trim(FFile.Lines.back()).empty();
}

bool TProfileIni::KeyLine(const std::string& Section, const std::string& Key,
                          std::string& Line) const {
  const long at = FindKey(Section, Key, nullptr);
  if (at < 0) return false;
  Line = FFile.Lines[static_cast<std::size_t>(at)];
  return true;
}

bool TProfileIni::ReplaceKeyLine(const std::string& Section, const std::string& Key,
                                 const std::string& Line) {
  const long at = FindKey(Section, Key, nullptr);
  if (at < 0) return false;
  std::string& line = FFile.Lines[static_cast<std::size_t>(at)];
  const std::string one_line = OneLine(Line);
  if (line != one_line) {
    line = one_line;
    FModified = true;
  }
  return true;
}

bool TProfileIni::DeleteKey(const std::string& Section, const std::string& Key) {
  const long at = FindKey(Section, Key, nullptr);
  if (at < 0) return false;
  FFile.Lines.erase(FFile.Lines.begin() + at);
  FModified = true;
  return true;
}

bool TProfileIni::DeleteSectionIfEmpty(const std::string& Section, bool AndBlankLineBefore) {
  auto& lines = FFile.Lines;
  std::size_t header = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (!SectionName(lines[i], name)) continue;
    if (header < lines.size()) break;  // the next section: the first one ends here
    if (!platform::SameTextAscii(name, Section)) continue;
    header = i;
  }
  if (header == lines.size()) return false;
  for (std::size_t i = header + 1; i < lines.size(); ++i) {
    std::string_view name;
    if (SectionName(lines[i], name)) break;
    const std::string_view line = Trim(lines[i]);
    if (!line.empty() && line.front() != ';') return false;
  }
  std::size_t first = header;
  if (AndBlankLineBefore && header > 0 && Trim(lines[header - 1]).empty()) --first;
  lines.erase(lines.begin() + static_cast<long>(first),
              lines.begin() + static_cast<long>(header) + 1);
  FModified = true;
  return true;
}
