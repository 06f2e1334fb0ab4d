// The parts of INI handling that are the same on every platform: the typed
// layer, the integer rules and the text model of the POSIX implementation.
#include "platform/IniFile.h"

#include <limits>

#include "platform/IniFileInternal.h"
#include "platform/Text.h"

namespace platform {

namespace {

bool IsIniBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view TrimIni(std::string_view text) {
  while (!text.empty() && IsIniBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsIniBlank(text.back())) text.remove_suffix(1);
  return text;
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The section name of a header line (trimmed text), or nothing for other
// lines. A header without its closing bracket names the rest of the line.
std::optional<std::string_view> HeaderName(std::string_view trimmed) {
  if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
  trimmed.remove_prefix(1);
  const std::size_t close = trimmed.find(']');
  if (close != std::string_view::npos) trimmed = trimmed.substr(0, close);
  return TrimIni(trimmed);
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> SplitKeyLine(std::string_view trimmed) {
  const std::size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{TrimIni(trimmed.substr(0, eq)), TrimIni(trimmed.substr(eq + 1))};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::int32_t> ParseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::string WithoutLineBreaks(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' || value[i] == '\n') {
      if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
      out += ' ';
    } else {
      out += value[i];
    }
  }
  return out;
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(const std::string& text) {
  std::string_view t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return ParseHex(t.substr(2));
  if (!t.empty() && t[0] == '$') return ParseHex(t.substr(1));
  return ParseSignedDecimal(t);
}

IniFile::IniFile(std::string file_name) : file_name_(std::move(file_name)) {}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& default_value) const {
  std::optional<std::string> value = IniReadValue(file_name_, section, key);
  return value ? *value : default_value;
}

std::int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t default_value) const {
  const std::optional<std::string> value = IniReadValue(file_name_, section, key);
  if (!value) return default_value;
  return ParseIniInteger(*value).value_or(default_value);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key,
                       bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  if (!IniWriteValue(file_name_, section, key, WithoutLineBreaks(value))) RaiseWriteError();
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::DeleteKey(const std::string& section, const std::string& key) {
  if (!IniDeleteKey(file_name_, section, key)) RaiseWriteError();
}

void IniFile::RaiseWriteError() const { throw EIniFileError("Unable to write to " + file_name_); }

namespace internal {

IniDocument IniDocument::Parse(std::string_view bytes) {
  IniDocument doc;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    doc.bom_ = bytes.substr(0, 3);
    bytes.remove_prefix(3);
  }
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t stop = bytes.find_first_of("\r\n", start);
    if (stop == std::string_view::npos) {
      doc.lines_.push_back({std::string(bytes.substr(start)), ""});
      break;
    }
    const std::size_t end_size =
        (bytes[stop] == '\r' && stop + 1 < bytes.size() && bytes[stop + 1] == '\n') ? 2 : 1;
    doc.lines_.push_back({std::string(bytes.substr(start, stop - start)),
                          std::string(bytes.substr(stop, end_size))});
    start = stop + end_size;
  }
  return doc;
}

std::size_t IniDocument::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::optional<std::string_view> name = HeaderName(TrimIni(lines_[i].text));
    if (name && SameName(*name, section)) return i;
  }
  return std::string::npos;
}

std::size_t IniDocument::FindKey(std::size_t header, std::string_view key) const {
  for (std::size_t i = header + 1; i < lines_.size(); ++i) {
    const std::string_view trimmed = TrimIni(lines_[i].text);
    if (HeaderName(trimmed)) break;
    const std::optional<KeyLine> line = SplitKeyLine(trimmed);
    if (line && SameName(line->key, key)) return i;
  }
  return std::string::npos;
}

std::size_t IniDocument::SectionInsertPoint(std::size_t header) const {
  std::size_t point = header + 1;
  for (std::size_t i = header + 1; i < lines_.size(); ++i) {
    const std::string_view trimmed = TrimIni(lines_[i].text);
    if (HeaderName(trimmed)) break;
    if (!trimmed.empty()) point = i + 1;
  }
  return point;
}

std::string IniDocument::NewLineEnd() const {
  for (const Line& line : lines_) {
    if (!line.end.empty()) return line.end;
  }
  return "\r\n";
}

std::optional<std::string> IniDocument::Read(std::string_view section, std::string_view key) const {
  const std::size_t header = FindSection(section);
  if (header == std::string::npos) return std::nullopt;
  const std::size_t index = FindKey(header, key);
  if (index == std::string::npos) return std::nullopt;
  std::string_view value = SplitKeyLine(TrimIni(lines_[index].text))->value;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  std::u16string units = Utf8ToUtf16(value);
  if (units.size() > kIniMaxValueLength) units.resize(kIniMaxValueLength);
  return Utf16ToUtf8(units);
}

void IniDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
  const std::string end = NewLineEnd();
  std::size_t header = FindSection(section);
  if (header != std::string::npos) {
    const std::size_t index = FindKey(header, key);
    if (index != std::string::npos) {
      const std::string_view name = SplitKeyLine(TrimIni(lines_[index].text))->key;
      lines_[index].text = std::string(name) + "=" + std::string(value);
      return;
    }
  } else {
    if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = end;
    std::string header_line = "[";
    header_line.append(section);
    header_line += ']';
    lines_.push_back({std::move(header_line), end});
    header = lines_.size() - 1;
  }
  const std::size_t point = SectionInsertPoint(header);
  if (point == lines_.size() && !lines_.empty() && lines_.back().end.empty()) {
    lines_.back().end = end;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(point),
                Line{std::string(key) + "=" + std::string(value), end});
}

bool IniDocument::Delete(std::string_view section, std::string_view key) {
  const std::size_t header = FindSection(section);
  if (header == std::string::npos) return false;
  const std::size_t index = FindKey(header, key);
  if (index == std::string::npos) return false;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

std::string IniDocument::Serialize() const {
  std::string out = bom_;
  for (const Line& line : lines_) {
    out += line.text;
    out += line.end;
  }
  return out;
}

}  // namespace internal

}  // namespace platform
