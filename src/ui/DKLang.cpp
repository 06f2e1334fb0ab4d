#include "ui/DKLang.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <mutex>

#include "base/Logger.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Resources.h"
#include "platform/Text.h"

namespace {

const char kConstantsSection[] = "$CONSTANTS";
const char kLangIdParam[] = "LANGID";
const char kCrLf[] = "\r\n";

// Subfolders deeper than this are not entered: a link back up the tree must
// not make the scan run forever.
constexpr int kMaxScanDepth = 32;
// Deeper property lists than this are taken as damaged.
constexpr int kMaxLangDataDepth = 32;

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = Fold(c);
  return folded;
}

bool SameName(std::string_view a, std::string_view b) { return CompareConstNames(a, b) == 0; }

// Blanks and control characters are trimmed from lines, names and values.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// Decimal digits only, as a positive 32-bit number; nothing otherwise.
std::optional<std::int32_t> PositiveDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// Malformed UTF-8 becomes U+FFFD, so every text inside is valid UTF-8.
std::string ValidUtf8(std::string_view text) { return platform::ReplaceMalformedUtf8(text); }

std::string DecodeFileBytes(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return ValidUtf8(bytes.substr(3));
  const bool little = bytes.substr(0, 2) == "\xFF\xFE";
  const bool big = bytes.substr(0, 2) == "\xFE\xFF";
  if (little || big) {
    std::u16string units((bytes.size() - 2) / 2, u'\0');
    for (std::size_t k = 0; k < units.size(); ++k) {
      const auto a = static_cast<unsigned char>(bytes[2 + 2 * k]);
      const auto b = static_cast<unsigned char>(bytes[3 + 2 * k]);
      units[k] = static_cast<char16_t>(little ? (a | (b << 8)) : ((a << 8) | b));
    }
    return platform::Utf16ToUtf8(units);
  }
  return ValidUtf8(platform::AnsiToUtf8(bytes));
}

// The lines of a text one at a time, ending at CR LF, CR or LF.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (start_ >= text_.size()) return false;
    // A plain scan: find_first_of searches its two-character set once per
    // character of the text.
    std::size_t stop = start_;
    while (stop < text_.size() && text_[stop] != '\r' && text_[stop] != '\n') ++stop;
    line = text_.substr(start_, stop - start_);
    if (stop == text_.size()) {
      start_ = stop;
    } else {
      start_ =
          stop +
          ((text_[stop] == '\r' && stop + 1 < text_.size() && text_[stop + 1] == '\n') ? 2 : 1);
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t start_ = 0;
};

std::string Int32Text(const char* format, std::int32_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, static_cast<int>(value));
  return buffer;
}

// Little-endian reads of a stored layout; any read past the end raises.
class ByteReader {
 public:
  ByteReader(std::string_view data, const char* error) : data_(data), error_(error) {}

  std::size_t Remaining() const { return data_.size() - pos_; }

  std::uint8_t Byte() {
    Need(1);
    return static_cast<std::uint8_t>(data_[pos_++]);
  }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::int32_t Int32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return static_cast<std::int32_t>(value);
  }
  std::string_view Bytes(std::size_t n) {
    Need(n);
    const std::string_view out = data_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  std::u16string Utf16(std::size_t units) {
    const std::string_view raw = Bytes(units * 2);
    std::u16string out(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
      out[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                     (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
    }
    return out;
  }
  [[noreturn]] void Fail() const { throw EDKLangError(error_); }

 private:
  void Need(std::size_t n) const {
    if (n > Remaining()) Fail();
  }

  std::string_view data_;
  std::size_t pos_ = 0;
  const char* error_;
};

void PutByte(std::string& out, std::uint8_t value) { out += static_cast<char>(value); }
void PutWord(std::string& out, std::uint16_t value) {
  PutByte(out, static_cast<std::uint8_t>(value & 0xFF));
  PutByte(out, static_cast<std::uint8_t>(value >> 8));
}
void PutInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) PutByte(out, static_cast<std::uint8_t>(bits >> (8 * i)));
}
void PutUtf16(std::string& out, std::string_view text) {
  const std::u16string units = platform::Utf8ToUtf16(text);
  if (units.size() > 0xFFFF) throw EDKLangError("Text too long for the constants table");
  PutWord(out, static_cast<std::uint16_t>(units.size()));
  for (char16_t unit : units) PutWord(out, static_cast<std::uint16_t>(unit));
}
void PutShortUtf8(std::string& out, std::string_view text) {
  if (text.size() > 0xFFFF) throw EDKLangError("Name too long for the property list");
  PutWord(out, static_cast<std::uint16_t>(text.size()));
  out += text;
}

const char kTableError[] = "The constants table is damaged";
const char kLangDataError[] = "The stored property list is damaged";

TLangCompEntry ReadCompEntry(ByteReader& reader, int depth) {
  if (depth > kMaxLangDataDepth) reader.Fail();
  TLangCompEntry entry;
  entry.Name = ValidUtf8(reader.Bytes(reader.Word()));
  if (reader.Byte() != 0) {
    const std::int32_t count = reader.Int32();
    // Each property takes at least six bytes.
    if (count < 0 || static_cast<std::size_t>(count) > reader.Remaining() / 6) reader.Fail();
    for (std::int32_t i = 0; i < count; ++i) {
      TLangPropEntry prop;
      prop.ID = reader.Int32();
      prop.PropName = ValidUtf8(reader.Bytes(reader.Word()));
      entry.Props.push_back(std::move(prop));
    }
  }
  if (reader.Byte() != 0) {
    const std::int32_t count = reader.Int32();
    // Each entry takes at least four bytes.
    if (count < 0 || static_cast<std::size_t>(count) > reader.Remaining() / 4) reader.Fail();
    for (std::int32_t i = 0; i < count; ++i) {
      entry.Children.push_back(ReadCompEntry(reader, depth + 1));
    }
  }
  return entry;
}

void WriteCompEntry(std::string& out, const TLangCompEntry& entry) {
  PutShortUtf8(out, entry.Name);
  PutByte(out, entry.Props.empty() ? 0 : 1);
  if (!entry.Props.empty()) {
    PutInt32(out, static_cast<std::int32_t>(entry.Props.size()));
    for (const TLangPropEntry& prop : entry.Props) {
      PutInt32(out, prop.ID);
      PutShortUtf8(out, prop.PropName);
    }
  }
  PutByte(out, entry.Children.empty() ? 0 : 1);
  if (!entry.Children.empty()) {
    PutInt32(out, static_cast<std::int32_t>(entry.Children.size()));
    for (const TLangCompEntry& child : entry.Children) WriteCompEntry(out, child);
  }
}

bool MatchMask(std::string_view name, std::string_view mask) {
  // Iterative wildcard match: the last "*" is retried one character further
  // on each mismatch, so no input takes more than quadratic time.
  std::size_t n = 0, m = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Fold(mask[m]) == Fold(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Names

int CompareConstNames(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(Fold(a[i]));
    const auto y = static_cast<unsigned char>(Fold(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool IsValidConstName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

bool LangFileNameMatches(std::string_view Name, std::string_view Mask) {
  return MatchMask(Name, Mask);
}

// ---------------------------------------------------------------------------
// TDKLang_Constants

int TDKLang_Constants::Add(const std::string& Name, const std::string& Value) {
  if (!IsValidConstName(Name)) throw EDKLangError("Invalid constant name (\"" + Name + "\")");
  const auto it = std::lower_bound(FItems.begin(), FItems.end(), Name,
                                   [](const TDKLang_Constant& c, const std::string& n) {
                                     return CompareConstNames(c.Name, n) < 0;
                                   });
  if (it != FItems.end() && SameName(it->Name, Name)) {
    throw EDKLangError("Duplicate constant name (\"" + Name + "\")");
  }
  const auto index = it - FItems.begin();
  FItems.insert(it, TDKLang_Constant{Name, Value, Value});
  return static_cast<int>(index);
}

int TDKLang_Constants::IndexOfName(std::string_view Name) const {
  const auto it = std::lower_bound(FItems.begin(), FItems.end(), Name,
                                   [](const TDKLang_Constant& c, std::string_view n) {
                                     return CompareConstNames(c.Name, n) < 0;
                                   });
  if (it == FItems.end() || !SameName(it->Name, Name)) return -1;
  return static_cast<int>(it - FItems.begin());
}

void TDKLang_Constants::LoadFromBytes(std::string_view Data) {
  ByteReader reader(Data, kTableError);
  const int version = reader.Byte();
  if (version > kDKLangConstsVersion) {
    throw EDKLangError("Stream version (" + std::to_string(version) +
                       ") is greater than the current one (" +
                       std::to_string(kDKLangConstsVersion) + ")");
  }
  if (version < kDKLangConstsVersion) {
    throw EDKLangError("Stream version (" + std::to_string(version) + ") is not supported");
  }
  reader.Byte();  // a flag without meaning
  const std::int32_t count = reader.Int32();
  // Each entry takes at least four bytes.
  if (count < 0 || static_cast<std::size_t>(count) > reader.Remaining() / 4) reader.Fail();
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string name = platform::Utf16ToUtf8(reader.Utf16(reader.Word()));
    const std::string value = platform::Utf16ToUtf8(reader.Utf16(reader.Word()));
    Add(name, value);
  }
}

std::string TDKLang_Constants::SaveToBytes() const {
  std::string out;
  PutByte(out, kDKLangConstsVersion);
  PutByte(out, 1);
  PutInt32(out, static_cast<std::int32_t>(FItems.size()));
  for (const TDKLang_Constant& c : FItems) {
    PutUtf16(out, c.Name);
    PutUtf16(out, c.DefValue);
  }
  return out;
}

void TDKLang_Constants::ResetToDefaults() {
  for (TDKLang_Constant& c : FItems) c.Value = c.DefValue;
}

void TDKLang_Constants::Translate(const TLangTranslation& Translation) {
  for (TDKLang_Constant& c : FItems) {
    const std::string* text = Translation.FindConstant(c.Name);
    c.Value = text != nullptr ? *text : c.DefValue;
  }
}

// ---------------------------------------------------------------------------
// Texts

std::string DecodeLangText(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\\' || i + 1 >= Text.size()) {
      out += c;
      continue;
    }
    const char next = Text[i + 1];
    if (next == '\\') {
      out += '\\';
      ++i;
    } else if (next == 'n') {
      out += kCrLf;
      ++i;
    } else if (next == 't') {
      out += '\t';
      ++i;
    } else if (next >= '0' && next <= '9' && i + 2 < Text.size() && Text[i + 2] >= '0' &&
               Text[i + 2] <= '9') {
      out += static_cast<char>((next - '0') * 10 + (Text[i + 2] - '0'));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodeLangText(std::string_view Text) {
  std::string out;
  out.reserve(Text.size() + 8);
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < ' ' || (c == ' ' && (i == 0 || i + 1 == Text.size()))) {
      out += Int32Text("\\%.2d", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// TLangTranslation

const std::string* TLangSection::Find(std::int32_t ID) const {
  const auto it = Index.find(ID);
  return it == Index.end() ? nullptr : &Entries[it->second].second;
}

TLangTranslation TLangTranslation::Parse(std::string_view Bytes, bool ParamsOnly) {
  TLangTranslation result;
  const std::string text = DecodeFileBytes(Bytes);
  LineReader lines(text);
  enum class Mode { Params, Constants, Window } mode = Mode::Params;
  std::size_t section = 0;
  std::string_view raw;
  for (std::size_t index = 0; lines.Next(raw); ++index) {
    try {
      const std::string_view line = Trim(raw);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        if (ParamsOnly) break;
        if (line.back() != ']' || line.size() <= 2) continue;
        const std::string_view name = Trim(line.substr(1, line.size() - 2));
        if (SameName(name, kConstantsSection)) {
          mode = Mode::Constants;
          continue;
        }
        mode = Mode::Window;
        const auto known = result.FSectionIndex.find(FoldName(name));
        if (known != result.FSectionIndex.end()) {
          section = known->second;
        } else {
          section = result.FSections.size();
          result.AddSection(std::string(name));
        }
        continue;
      }
      const std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string_view name = Trim(line.substr(0, eq));
      const std::string_view value = Trim(line.substr(eq + 1));
      if (name.empty()) continue;
      switch (mode) {
        case Mode::Params:
          result.SetParam(std::string(name), std::string(value));
          break;
        case Mode::Constants:
          result.AddConstant(std::string(name), DecodeLangText(value));
          break;
        case Mode::Window:
          if (const std::optional<std::int32_t> id = PositiveDecimal(name)) {
            result.AddEntry(result.FSections[section], *id, DecodeLangText(value));
          }
          break;
      }
    } catch (const std::exception& e) {
      throw EDKLangError(std::string("Loading translations failed.") + kCrLf + "Line " +
                         std::to_string(index) + ": " + e.what());
    }
  }
  return result;
}

namespace {

// A language file's bytes, read as every file from outside is read: only a
// regular file (a FIFO would hold the start for good, a device could feed
// it without end) and only up to kMaxLangFileSize. Nothing, with the reason
// in `Refusal`, for a file that is not read at all; raises EDKLangError for
// one that cannot be opened.
std::optional<std::string> ReadLangFile(const std::string& FileName, std::string& Refusal) {
  std::string bytes;
  switch (platform::ReadRegularFile(FileName, kMaxLangFileSize, bytes)) {
    case platform::RegularFileRead::Ok:
      return bytes;
    case platform::RegularFileRead::NotRegular:
      Refusal = "\"" + FileName + "\" is not a regular file";
      return std::nullopt;
    case platform::RegularFileRead::TooLarge:
      Refusal =
          "\"" + FileName + "\" is larger than " + std::to_string(kMaxLangFileSize) + " bytes";
      return std::nullopt;
    case platform::RegularFileRead::Failed:
      break;
  }
  throw EDKLangError("Cannot open file \"" + FileName + "\"");
}

}  // namespace

TLangTranslation TLangTranslation::LoadFromFile(const std::string& FileName, bool ParamsOnly) {
  std::string refusal;
  const std::optional<std::string> bytes = ReadLangFile(FileName, refusal);
  if (!bytes) throw ELangFileRefused(refusal);
  return Parse(*bytes, ParamsOnly);
}

std::string TLangTranslation::SaveToText() const {
  std::string out = "\xEF\xBB\xBF";
  // Appended piece by piece: a language file has thousands of lines, and a
  // chain of + builds a temporary string for each piece of each.
  auto line = [&out](std::string_view name, std::string_view value) {
    out.append(name).append("=").append(value).append(kCrLf);
  };
  for (const auto& [name, value] : FParams) line(name, value);
  out += kCrLf;
  for (const TLangSection& section : FSections) {
    // An empty name still has to read back as a section header.
    out.append("[").append(section.Name.empty() ? " " : section.Name).append("]").append(kCrLf);
    for (const auto& [id, text] : section.Entries)
      line(Int32Text("%.8d", id), EncodeLangText(text));
    out += kCrLf;
  }
  out.append("[").append(kConstantsSection).append("]").append(kCrLf);
  for (const auto& [name, text] : FConstants) line(name, EncodeLangText(text));
  return out;
}

std::optional<std::string> TLangTranslation::Param(std::string_view Name) const {
  const auto it = FParamIndex.find(FoldName(Name));
  if (it == FParamIndex.end()) return std::nullopt;
  return FParams[it->second].second;
}

std::int32_t TLangTranslation::LangID() const {
  const std::optional<std::string> text = Param(kLangIdParam);
  if (!text) return 0;
  return platform::ParseSignedDecimal(*text).value_or(0);
}

const TLangSection* TLangTranslation::FindSection(std::string_view Name) const {
  const auto it = FSectionIndex.find(FoldName(Name));
  return it == FSectionIndex.end() ? nullptr : &FSections[it->second];
}

const std::string* TLangTranslation::FindConstant(std::string_view Name) const {
  const auto it = FConstantIndex.find(FoldName(Name));
  return it == FConstantIndex.end() ? nullptr : &FConstants[it->second].second;
}

void TLangTranslation::SetParam(const std::string& Name, const std::string& Value) {
  const auto [it, added] = FParamIndex.emplace(FoldName(Name), FParams.size());
  if (added) {
    FParams.emplace_back(Name, Value);
  } else {
    FParams[it->second].second = Value;
  }
}

TLangSection& TLangTranslation::AddSection(const std::string& Name) {
  const auto [it, added] = FSectionIndex.emplace(FoldName(Name), FSections.size());
  if (!added) return FSections[it->second];  // a name given twice continues the section
  FSections.push_back(TLangSection{Name, {}, {}});
  return FSections.back();
}

void TLangTranslation::AddEntry(TLangSection& Section, std::int32_t ID, const std::string& Text) {
  if (Section.Index.count(ID) != 0) {
    throw EDKLangError("Duplicate property value translation ID (" + std::to_string(ID) + ")");
  }
  Section.Index.emplace(ID, Section.Entries.size());
  Section.Entries.emplace_back(ID, Text);
}

void TLangTranslation::AddConstant(const std::string& Name, const std::string& Text) {
  if (!IsValidConstName(Name)) throw EDKLangError("Invalid constant name (\"" + Name + "\")");
  const std::string folded = FoldName(Name);
  if (FConstantIndex.count(folded) != 0) {
    throw EDKLangError("Duplicate constant name (\"" + Name + "\")");
  }
  FConstantIndex.emplace(folded, FConstants.size());
  FConstants.emplace_back(Name, Text);
}

// ---------------------------------------------------------------------------
// Stored property lists

std::string SaveLangData(const TLangCompEntry& Root) {
  std::string out;
  WriteCompEntry(out, Root);
  return out;
}

TLangCompEntry LoadLangData(std::string_view Data) {
  ByteReader reader(Data, kLangDataError);
  TLangCompEntry root = ReadCompEntry(reader, 0);
  if (reader.Remaining() != 0) reader.Fail();
  return root;
}

// ---------------------------------------------------------------------------
// Window designs

std::string TLangWindowDesign::LangData() const {
  TLangCompEntry root;
  root.Name = Name;
  for (const TLangDesignText& text : Texts) {
    if (text.Component.empty()) root.Props.push_back({text.ID, text.Property});
  }
  for (const std::string& component : Components) {
    TLangCompEntry child;
    child.Name = component;
    for (const TLangDesignText& text : Texts) {
      if (text.Component == component) child.Props.push_back({text.ID, text.Property});
    }
    root.Children.push_back(std::move(child));
  }
  return SaveLangData(root);
}

const std::string& TLangWindowDesign::Text(std::string_view Component,
                                           std::string_view Property) const {
  for (const TLangDesignText& text : Texts) {
    if (text.Component == Component && text.Property == Property) return text.Text;
  }
  throw EDKLangError(Name + " has no text for " + std::string(Component) + "." +
                     std::string(Property));
}

bool LanguageReadsRightToLeft(std::uint16_t LanguageID) {
  // Primary language identifiers: Arabic, Hebrew, Urdu, Persian, Syriac,
  // Pashto, Divehi, Uyghur and Central Kurdish.
  switch (LanguageID & 0x3FF) {
    case 0x01:
    case 0x0D:
    case 0x20:
    case 0x29:
    case 0x5A:
    case 0x63:
    case 0x65:
    case 0x80:
    case 0x92:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// TDKLanguageController

namespace {

void CollectProperties(const TLangCompEntry& entry, const std::string& component,
                       std::vector<TLangPropEntry>& props, std::vector<std::string>& components) {
  for (const TLangPropEntry& prop : entry.Props) {
    props.push_back(prop);
    components.push_back(component);
  }
  for (const TLangCompEntry& child : entry.Children) {
    CollectProperties(child, child.Name, props, components);
  }
}

}  // namespace

TDKLanguageController::TDKLanguageController(TDKLangWindow& Owner, std::string_view LangData,
                                             TDKLanguageManager* Manager)
    : FOwner(Owner), FManager(Manager != nullptr ? *Manager : LangManager()) {
  const TLangCompEntry root = LoadLangData(LangData);
  std::vector<TLangPropEntry> props;
  std::vector<std::string> components;
  // The root entry is the window itself.
  CollectProperties(root, "", props, components);
  for (std::size_t i = 0; i < props.size(); ++i) {
    FProperties.push_back(Property{components[i], props[i].PropName, props[i].ID, std::nullopt});
  }
}

TDKLanguageController::~TDKLanguageController() {
  if (FRegistered) FManager.RemoveLangController(this);
}

std::string TDKLanguageController::ActualSectionName() const {
  return FSectionName.empty() ? FOwner.ComponentName() : FSectionName;
}

void TDKLanguageController::Loaded() {
  if (FRegistered) return;
  FManager.AddLangController(this);
  FRegistered = true;
  for (Property& p : FProperties) p.Default = FOwner.GetPropertyText(p.Component, p.Name);
  std::optional<std::string> file;
  {
    std::shared_lock<std::shared_mutex> lock(FManager.FSynchronizer);
    if (FManager.FLanguageID != kDKLangDefaultLanguageID) {
      file = FManager.FileOf(FManager.FLanguageID);
    }
  }
  if (file) {
    const TLangTranslation translation = TLangTranslation::LoadFromFile(*file, false);
    Apply(PlanTranslation(&translation));
  } else {
    FOwner.Translated(FManager.LanguageID());
  }
}

std::vector<TDKLanguageController::Assignment> TDKLanguageController::PlanTranslation(
    const TLangTranslation* Translation) const {
  const TLangSection* section =
      Translation != nullptr ? Translation->FindSection(ActualSectionName()) : nullptr;
  std::vector<Assignment> plan;
  for (const Property& p : FProperties) {
    if (!p.Default) continue;  // the window has no such element or property
    const std::string* text = section != nullptr ? section->Find(p.ID) : nullptr;
    plan.push_back(Assignment{p.Component, p.Name, text != nullptr ? *text : *p.Default});
  }
  return plan;
}

void TDKLanguageController::Apply(const std::vector<Assignment>& Assignments) {
  for (const Assignment& a : Assignments) FOwner.SetPropertyText(a.Component, a.Property, a.Value);
  FOwner.Translated(FManager.LanguageID());
}

// ---------------------------------------------------------------------------
// TDKLanguageManager

TDKLanguageManager::TDKLanguageManager()
    : TDKLanguageManager(platform::FindProgramResource(kDKLangConstsResource)) {}

TDKLanguageManager::TDKLanguageManager(std::optional<std::string_view> ConstsTable) {
  if (ConstsTable) FConstants.LoadFromBytes(*ConstsTable);
  FConstants.ResetToDefaults();
}

TDKLanguageManager::~TDKLanguageManager() = default;

std::uint16_t TDKLanguageManager::LanguageID() const {
  std::shared_lock<std::shared_mutex> lock(FSynchronizer);
  return FLanguageID;
}

std::optional<std::string> TDKLanguageManager::FileOf(std::uint16_t ID) const {
  for (const LangResource& r : FLangResources) {
    if (r.ID == ID) return r.FileName;
  }
  return std::nullopt;
}

void TDKLanguageManager::SetLanguageID(std::uint16_t Value) {
  std::unique_ptr<TLangTranslation> translation;
  bool changed = false;
  {
    std::unique_lock<std::shared_mutex> lock(FSynchronizer);
    std::uint16_t id = Value;
    if (id != kDKLangDefaultLanguageID) {
      const std::optional<std::string> file = FileOf(id);
      if (file) {
        translation =
            std::make_unique<TLangTranslation>(TLangTranslation::LoadFromFile(*file, false));
      } else {
        id = kDKLangDefaultLanguageID;
      }
    }
    changed = id != FLanguageID;
    if (changed) {
      FLanguageID = id;
      // The catalogue changes under the write side: a reader never sees it
      // half translated.
      if (translation) {
        FConstants.Translate(*translation);
      } else {
        FConstants.ResetToDefaults();
      }
    }
  }
  if (!changed) return;
  // The windows' new texts are worked out under the read side and set after
  // it is released, so a window that asks the catalogue while its texts
  // change cannot lock itself out.
  std::vector<std::pair<TDKLanguageController*, std::vector<TDKLanguageController::Assignment>>>
      plans;
  {
    std::shared_lock<std::shared_mutex> lock(FSynchronizer);
    for (TDKLanguageController* controller : FLangControllers) {
      plans.emplace_back(controller, controller->PlanTranslation(translation.get()));
    }
  }
  for (auto& [controller, plan] : plans) controller->Apply(plan);
}

std::string TDKLanguageManager::GetConstantValue(const std::string& Name) const {
  std::shared_lock<std::shared_mutex> lock(FSynchronizer);
  const int index = FConstants.IndexOfName(Name);
  if (index < 0) throw EDKLangError("Constant \"" + Name + "\" not found");
  return FConstants.Item(index).Value;
}

TDKLang_Constants TDKLanguageManager::Constants() const {
  std::shared_lock<std::shared_mutex> lock(FSynchronizer);
  return FConstants;
}

bool TDKLanguageManager::RegisterLangFile(const std::string& FileName) {
  std::unique_lock<std::shared_mutex> lock(FSynchronizer);
  if (!platform::FileExists(FileName)) return false;
  std::string refusal;
  const std::optional<std::string> bytes = ReadLangFile(FileName, refusal);
  if (!bytes) {
    // No language file: the others still count.
    LogMessage("Language file skipped: " + refusal, "TDKLanguageManager.RegisterLangFile");
    return false;
  }
  const std::int32_t declared = TLangTranslation::Parse(*bytes, true).LangID();
  const auto id = static_cast<std::uint16_t>(declared & 0xFFFF);
  if (id == 0) return false;
  // English is built in: a file cannot replace it.
  if (id == kDKLangDefaultLanguageID) return true;
  for (LangResource& r : FLangResources) {
    if (r.ID == id) {
      r.FileName = FileName;
      return true;
    }
  }
  FLangResources.push_back(LangResource{id, FileName});
  return true;
}

int TDKLanguageManager::ScanForLangFiles(const std::string& Dir, const std::string& Mask,
                                         bool Recursive) {
  return ScanFolder(Dir, Mask, Recursive ? kMaxScanDepth : 0);
}

int TDKLanguageManager::ScanFolder(const std::string& Dir, const std::string& Mask, int Depth) {
  const std::optional<std::vector<platform::DirEntry>> entries = platform::ListDirectory(Dir);
  if (!entries) return 0;
  const std::string folder = platform::IncludeTrailingDelimiter(Dir);
  int count = 0;
  for (const platform::DirEntry& entry : *entries) {
    if (MatchMask(entry.name, Mask) && RegisterLangFile(folder + entry.name)) ++count;
    if (entry.is_directory && Depth > 0 && !entry.name.empty() && entry.name.front() != '.') {
      count += ScanFolder(folder + entry.name, Mask, Depth - 1);
    }
  }
  return count;
}

std::vector<std::uint16_t> TDKLanguageManager::LanguageIDs() const {
  std::shared_lock<std::shared_mutex> lock(FSynchronizer);
  std::vector<std::uint16_t> ids;
  for (const LangResource& r : FLangResources) ids.push_back(r.ID);
  return ids;
}

std::optional<std::string> TDKLanguageManager::LanguageFile(std::uint16_t ID) const {
  std::shared_lock<std::shared_mutex> lock(FSynchronizer);
  return FileOf(ID);
}

void TDKLanguageManager::AddLangController(TDKLanguageController* Controller) {
  std::unique_lock<std::shared_mutex> lock(FSynchronizer);
  FLangControllers.push_back(Controller);
}

void TDKLanguageManager::RemoveLangController(TDKLanguageController* Controller) {
  std::unique_lock<std::shared_mutex> lock(FSynchronizer);
  FLangControllers.erase(std::remove(FLangControllers.begin(), FLangControllers.end(), Controller),
                         FLangControllers.end());
}

TDKLanguageManager& LangManager() {
  static TDKLanguageManager manager;
  return manager;
}

std::string CatalogueText(const std::string& Key) {
  return FormatText(LangManager().GetConstantValue(Key), std::span<const TFormatArg>());
}

std::string CatalogueText(const std::string& Key, std::initializer_list<TFormatArg> Args) {
  return FormatText(LangManager().GetConstantValue(Key), Args);
}
