#include "activators/ProxyJournal.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iterator>
#include <set>
#include <vector>

#include "activators/ProfileIni.h"
#include "activators/ProxyActivators.h"
#include "activators/Registryx86x64.h"
#include "activators/TextFiles.h"
#include "base/Logger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SysError.h"

namespace {

const char kSource[] = "ProxyJournal";
const char kMagic[] = "NimbraProxyJournal 1";
const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char kProxySection[] = "Proxy";
const char kOperaKeys[][40] = {"Use HTTP", "HTTP server", "Use HTTPS", "HTTPS server",
                               "Use Automatic Proxy Configuration"};
constexpr std::size_t kMaxRemovedLines = 100000;

void Log(const std::string& Message) { LogMessage(Message, kSource); }

// ---- fields

std::uint64_t Digest(std::string_view Bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (const unsigned char c : Bytes) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string Hex16(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Escape(std::string_view Bytes) {
  if (Bytes.empty()) return "-";
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(Bytes.size());
  for (const unsigned char c : Bytes) {
    // "-" alone is the empty field, so a lone dash is escaped.
    if (c > 0x20 && c < 0x7F && c != '%' && !(c == '-' && Bytes.size() == 1)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view Field, std::string& Out) {
  Out.clear();
  if (Field == "-") return true;
  if (Field.empty()) return false;
  Out.reserve(Field.size());
  for (std::size_t i = 0; i < Field.size(); ++i) {
    const char c = Field[i];
    if (c != '%') {
      Out += c;
      continue;
    }
    if (i + 2 >= Field.size()) return false;
    const int high = HexDigit(Field[i + 1]);
    const int low = HexDigit(Field[i + 2]);
    if (high < 0 || low < 0) return false;
    Out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

template <class Number>
bool ParseNumber(std::string_view Field, Number& Value) {
  if (Field.empty() || Field.size() > 20) return false;
  const auto [end, error] = std::from_chars(Field.data(), Field.data() + Field.size(), Value);
  return error == std::errc() && end == Field.data() + Field.size();
}

bool ParseFlag(std::string_view Field, bool& Value) {
  if (Field != "0" && Field != "1") return false;
  Value = Field == "1";
  return true;
}

std::vector<std::string_view> Split(std::string_view Line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= Line.size()) {
    const std::size_t space = Line.find(' ', start);
    const std::size_t end = space == std::string_view::npos ? Line.size() : space;
    fields.push_back(Line.substr(start, end - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return fields;
}

std::string LowerAscii(std::string Text) {
  for (char& c : Text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return Text;
}

bool IsProxyValueName(const std::string& Name) {
  const std::string lower = LowerAscii(Name);
  return lower == "proxyenable" || lower == "proxyserver";
}

bool KnownRegistryType(std::uint32_t Type) {
  return Type <= 11;  // REG_NONE to REG_QWORD
}

// ---- encoding

void Put(std::string& Text, std::initializer_list<std::string> Fields) {
  bool first = true;
  for (const std::string& field : Fields) {
    if (!first) Text += ' ';
    Text += field;
    first = false;
  }
  Text += '\n';
}

std::string ValuePayload(const platform::RegValue& Value) {
  switch (Value.type) {
    case platform::RegType::String:
    case platform::RegType::ExpandString:
      return Escape(Value.text);
    case platform::RegType::DWord:
      return std::to_string(Value.dword);
    default:
      return Escape(Value.bytes);
  }
}

}  // namespace

std::string EncodeProxyJournal(const TActivationChanges& Changes) {
  std::string text;
  Put(text, {kMagic});
  if (Changes.System) {
    const TSystemProxyChange& system = *Changes.System;
    Put(text, {"system", system.View64 ? "1" : "0", std::to_string(system.WrittenEnable),
               Escape(system.WrittenServer)});
    for (const TRegistryValueBefore& value : system.Before) {
      if (!value.Existed) {
        Put(text, {"value", Escape(value.Name), "absent"});
      } else {
        Put(text, {"value", Escape(value.Name),
                   std::to_string(static_cast<std::uint32_t>(value.Value.type)),
                   ValuePayload(value.Value)});
      }
    }
  }
  for (const TFileChange& file : Changes.Files) {
    const bool opera = file.Kind == TSettingsFileKind::Opera;
    Put(text, {"file", opera ? "opera" : "firefox", Escape(file.Path)});
    if (file.HasOriginal) {
      Put(text, {"original", "kept", Escape(file.Original)});
    } else {
      Put(text, {"original", "none"});
    }
    if (opera) {
      Put(text, {"section", file.SectionAdded ? "1" : "0", file.BlankLineAdded ? "1" : "0"});
      for (const TOperaKeyBefore& key : file.Keys) {
        if (key.Existed) {
          Put(text, {"key", Escape(key.Key), "line", Escape(key.Line), Escape(key.Written)});
        } else {
          Put(text, {"key", Escape(key.Key), "absent", Escape(key.Written)});
        }
      }
    } else {
      for (const TFirefoxProxyLine& line : file.Removed)
        Put(text, {"removed", std::to_string(line.Preference), Escape(line.Text)});
      for (const std::string& line : file.Appended) Put(text, {"appended", Escape(line)});
    }
  }
  const std::uint64_t digest = Digest(text);
  Put(text, {"end", Hex16(digest)});
  return text;
}

namespace {

// One line's worth of the decoder, which refuses what a journal written by
// EncodeProxyJournal could not hold.
class TJournalDecoder {
 public:
  explicit TJournalDecoder(TActivationChanges& Changes) : FChanges(Changes) {}

  bool Line(std::string_view Line, std::string& Reason) {
    const std::vector<std::string_view> f = Split(Line);
    const std::string_view tag = f[0];
    auto fail = [&](const std::string& why) {
      Reason = std::string(tag) + " record: " + why;
      return false;
    };
    if (tag == "system") {
      if (FChanges.System || !FChanges.Files.empty()) return fail("out of order");
      if (f.size() != 4) return fail("wrong number of fields");
      TSystemProxyChange system;
      if (!ParseFlag(f[1], system.View64) || !ParseNumber(f[2], system.WrittenEnable) ||
          !Unescape(f[3], system.WrittenServer)) {
        return fail("bad field");
      }
      FChanges.System = std::move(system);
      return true;
    }
    if (tag == "value") {
      if (!FChanges.System || !FChanges.Files.empty()) return fail("out of order");
      if (FChanges.System->Before.size() >= 2) return fail("more than two values");
      TRegistryValueBefore value;
      if (f.size() < 3 || !Unescape(f[1], value.Name) || !IsProxyValueName(value.Name))
        return fail("not a proxy value");
      for (const TRegistryValueBefore& other : FChanges.System->Before) {
        if (LowerAscii(other.Name) == LowerAscii(value.Name)) return fail("value twice");
      }
      if (f[2] == "absent") {
        if (f.size() != 3) return fail("wrong number of fields");
      } else {
        std::uint32_t type = 0;
        if (f.size() != 4 || !ParseNumber(f[2], type) || !KnownRegistryType(type))
          return fail("bad type");
        value.Existed = true;
        value.Value.type = static_cast<platform::RegType>(type);
        bool good = false;
        if (value.Value.type == platform::RegType::String ||
            value.Value.type == platform::RegType::ExpandString) {
          good = Unescape(f[3], value.Value.text);
        } else if (value.Value.type == platform::RegType::DWord) {
          good = ParseNumber(f[3], value.Value.dword);
        } else {
          good = Unescape(f[3], value.Value.bytes);
        }
        if (!good) return fail("bad data");
      }
      FChanges.System->Before.push_back(std::move(value));
      return true;
    }
    if (tag == "file") {
      if (!FinishFile(Reason)) return false;
      if (FChanges.Files.size() >= kMaxJournalFiles) return fail("too many files");
      if (f.size() != 3 || (f[1] != "opera" && f[1] != "firefox")) return fail("bad kind");
      TFileChange file;
      file.Kind = f[1] == "opera" ? TSettingsFileKind::Opera : TSettingsFileKind::Firefox;
      if (!Unescape(f[2], file.Path) || file.Path.empty() ||
          file.Path.find('\0') != std::string::npos) {
        return fail("bad path");
      }
      const std::string name = LowerAscii(platform::ExtractFileName(file.Path));
      if (name != (file.Kind == TSettingsFileKind::Opera ? "opera6.ini" : "prefs.js"))
        return fail("not a settings file of its kind: " + file.Path);
      FChanges.Files.push_back(std::move(file));
      FSeenOriginal = false;
      return true;
    }
    if (FChanges.Files.empty()) return fail("before any file");
    TFileChange& file = FChanges.Files.back();
    const bool opera = file.Kind == TSettingsFileKind::Opera;
    if (tag == "original") {
      if (FSeenOriginal) return fail("twice");
      FSeenOriginal = true;
      if (f.size() == 2 && f[1] == "none") return true;
      if (f.size() != 3 || f[1] != "kept" || !Unescape(f[2], file.Original))
        return fail("bad field");
      if (file.Original.size() > kChangeOriginalLimit) return fail("file too large");
      file.HasOriginal = true;
      return true;
    }
    if (!FSeenOriginal) return fail("before the original");
    if (tag == "section" && opera) {
      if (f.size() != 3 || !ParseFlag(f[1], file.SectionAdded) ||
          !ParseFlag(f[2], file.BlankLineAdded) || !file.Keys.empty()) {
        return fail("bad field");
      }
      return true;
    }
    if (tag == "key" && opera) {
      const std::size_t at = file.Keys.size();
      TOperaKeyBefore key;
      if (at >= std::size(kOperaKeys) || f.size() < 4 || !Unescape(f[1], key.Key) ||
          key.Key != kOperaKeys[at]) {
        return fail("not the next proxy key");
      }
      if (f[2] == "absent" && f.size() == 4) {
        if (!Unescape(f[3], key.Written)) return fail("bad field");
      } else if (f[2] == "line" && f.size() == 5) {
        key.Existed = true;
        if (!Unescape(f[3], key.Line) || !Unescape(f[4], key.Written)) return fail("bad field");
        if (key.Line.find_first_of("\r\n") != std::string::npos) return fail("not one line");
        // The line must be the key's own line.
        TTextFile probe;
        probe.Lines = {"[Proxy]", key.Line};
        std::string back;
        if (!TProfileIni("", probe).KeyLine(kProxySection, key.Key, back))
          return fail("a line of another key");
      } else {
        return fail("bad field");
      }
      if (key.Written.find_first_of("\r\n") != std::string::npos) return fail("not one line");
      file.Keys.push_back(std::move(key));
      return true;
    }
    if (tag == "removed" && !opera) {
      TFirefoxProxyLine line;
      if (f.size() != 3 || !ParseNumber(f[1], line.Preference) || !Unescape(f[2], line.Text) ||
          !file.Appended.empty()) {
        return fail("bad field");
      }
      if (file.Removed.size() >= kMaxRemovedLines) return fail("too many lines");
      if (!IsPreferenceLine(line.Text, line.Preference))
        return fail("not a line of proxy preference " + std::to_string(line.Preference));
      file.Removed.push_back(std::move(line));
      return true;
    }
    if (tag == "appended" && !opera) {
      std::string text;
      if (f.size() != 2 || !Unescape(f[1], text)) return fail("bad field");
      if (file.Appended.size() >= kFirefoxPreferenceCount ||
          !IsPreferenceLine(text, static_cast<std::uint32_t>(file.Appended.size()))) {
        return fail("not the next proxy preference");
      }
      file.Appended.push_back(std::move(text));
      return true;
    }
    return fail("unknown");
  }

  bool FinishFile(std::string& Reason) {
    if (FChanges.Files.empty()) return true;
    const TFileChange& file = FChanges.Files.back();
    if (!FSeenOriginal) {
      Reason = "file record without its original";
      return false;
    }
    if (file.Kind == TSettingsFileKind::Opera && file.Keys.size() != std::size(kOperaKeys)) {
      Reason = "opera6.ini record without its five keys: " + file.Path;
      return false;
    }
    if (file.Kind == TSettingsFileKind::Firefox &&
        file.Appended.size() != kFirefoxPreferenceCount) {
      Reason = "prefs.js record without its eight lines: " + file.Path;
      return false;
    }
    return true;
  }

 private:
  // One line, one proxy preference, and the one the record says.
  bool IsPreferenceLine(const std::string& Text, std::uint32_t Preference) {
    if (Preference >= kFirefoxPreferenceCount || Text.find_first_of("\r\n") != std::string::npos)
      return false;
    std::string group;
    return FPatterns.Match(Text, group) == static_cast<int>(Preference);
  }

  TActivationChanges& FChanges;
  TFirefoxPatterns FPatterns;
  bool FSeenOriginal = false;
};

}  // namespace

bool DecodeProxyJournal(std::string_view Text, TActivationChanges& Changes, std::string& Reason) {
  Changes = TActivationChanges{};
  TActivationChanges decoded;
  if (Text.size() > kMaxProxyJournalSize) {
    Reason = "larger than " + std::to_string(kMaxProxyJournalSize) + " bytes";
    return false;
  }
  // The check line first: a journal cut short or changed is refused before
  // any of it is looked at.
  if (Text.empty() || Text.back() != '\n') {
    Reason = "cut short (no line end at its end)";
    return false;
  }
  const std::size_t last = Text.rfind('\n', Text.size() - 2);
  const std::size_t body_end = last == std::string_view::npos ? 0 : last + 1;
  const std::string_view end_line = Text.substr(body_end, Text.size() - 1 - body_end);
  if (end_line != "end " + Hex16(Digest(Text.substr(0, body_end)))) {
    Reason = "damaged or cut short (its check line does not match)";
    return false;
  }
  const std::string_view body = Text.substr(0, body_end);
  std::size_t start = 0;
  bool first = true;
  TJournalDecoder decoder(decoded);
  while (start < body.size()) {
    const std::size_t end = body.find('\n', start);
    const std::string_view line = body.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (line != kMagic) {
        Reason = "not a proxy journal of this version";
        return false;
      }
      first = false;
      continue;
    }
    if (!decoder.Line(line, Reason)) return false;
  }
  if (first) {
    Reason = "not a proxy journal of this version";
    return false;
  }
  if (!decoder.FinishFile(Reason)) return false;
  Changes = std::move(decoded);
  return true;
}

TJournalRead ReadProxyJournal(const std::string& Path, TActivationChanges& Changes,
                              std::string& Reason) {
  Changes = TActivationChanges{};
  if (platform::DirectoryExists(Path)) {
    Reason = "a folder, not a file";
    return TJournalRead::Refused;
  }
  if (!platform::FileExists(Path)) return TJournalRead::Missing;
  std::string text;
  switch (platform::ReadRegularFile(Path, kMaxProxyJournalSize, text)) {
    case platform::RegularFileRead::Ok:
      break;
    case platform::RegularFileRead::NotRegular:
      Reason = "not a regular file";
      return TJournalRead::Refused;
    case platform::RegularFileRead::TooLarge:
      Reason = "larger than " + std::to_string(kMaxProxyJournalSize) + " bytes";
      return TJournalRead::Refused;
    case platform::RegularFileRead::Failed: {
      const std::uint32_t error = platform::LastError();
      if (!platform::FileExists(Path)) return TJournalRead::Missing;
      Reason = "cannot be read: " + SysErrorText(error);
      return TJournalRead::Refused;
    }
  }
  return DecodeProxyJournal(text, Changes, Reason) ? TJournalRead::Read : TJournalRead::Refused;
}

void WriteProxyJournal(const std::string& Path, const TActivationChanges& Changes) {
  platform::ForceDirectories(platform::ExtractFilePath(Path));
  SaveSettingsFileBytes(Path, EncodeProxyJournal(Changes));
}

bool RemoveProxyJournal(const std::string& Path) {
  if (platform::DeleteFileAt(Path)) return true;
  return !platform::FileExists(Path);
}

std::string SetProxyJournalAside(const std::string& Path) {
  const platform::LocalTime now = platform::Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  const std::string base = Path + ".refused-" + stamp;
  for (int n = 0; n < 100; ++n) {
    const std::string name = n == 0 ? base : base + "-" + std::to_string(n);
    if (platform::RenameFileNoReplace(Path, name)) return name;
    if (!platform::FileExists(name)) break;  // failed for another reason
  }
  return "";
}

// ---- putting back

namespace {

bool HoldsWritten(const TRegistryValueBefore& Before, const TSystemProxyChange& Change,
                  const platform::RegValue& Now) {
  if (LowerAscii(Before.Name) == "proxyenable")
    return Now.type == platform::RegType::DWord && Now.dword == Change.WrittenEnable;
  return (Now.type == platform::RegType::String || Now.type == platform::RegType::ExpandString) &&
         Now.text == Change.WrittenServer;
}

// True when done (or nothing to do); false when a write failed.
bool RestoreSystem(const TSystemProxyChange& Change) {
  RegistryView = Change.View64 ? platform::kKeyWow64_64Key : 0;
  const platform::RegRoot root = platform::RegRoot::CurrentUser;
  if (!RegistryKeyExists(root, kInternetSettings)) {
    Log("System proxy: no Internet Settings key, nothing to put back");
    return true;
  }
  try {
    for (const TRegistryValueBefore& before : Change.Before) {
      platform::RegValue now;
      if (!QueryRegistryValue(root, kInternetSettings, before.Name, now) ||
          !HoldsWritten(before, Change, now)) {
        Log("System proxy: " + before.Name + " was changed since; left as it is");
        continue;
      }
      if (before.Existed) {
        SetRegistryValue(root, kInternetSettings, before.Name, before.Value);
        Log("System proxy: " + before.Name + " put back");
      } else {
        DeleteRegistryValue(root, kInternetSettings, before.Name);
        Log("System proxy: " + before.Name + " removed, as it was missing before");
      }
    }
  } catch (const std::exception& error) {
    Log("System proxy: " + std::string(error.what()));
    return false;
  }
  return true;
}

// The file's proxy keys back one by one, where they still hold what was
// written; the rest of the file as it is now.
void RestoreOperaLines(const TFileChange& Change, const std::string& Now) {
  TProfileIni ini(Change.Path, DecodeTextFile(Now));
  int back = 0;
  int left = 0;
  for (const TOperaKeyBefore& key : Change.Keys) {
    std::string line;
    if (!ini.KeyLine(kProxySection, key.Key, line) ||
        ini.ReadString(kProxySection, key.Key, "") != key.Written) {
      ++left;
      continue;
    }
    if (key.Existed) {
      ini.ReplaceKeyLine(kProxySection, key.Key, key.Line);
    } else {
      ini.DeleteKey(kProxySection, key.Key);
    }
    ++back;
  }
  if (Change.SectionAdded) ini.DeleteSectionIfEmpty(kProxySection, Change.BlankLineAdded);
  ini.UpdateFile();
  Log(Change.Path + ": " + std::to_string(back) + " proxy keys put back" +
      (left > 0 ? ", " + std::to_string(left) + " changed since and left as they are" : ""));
}

// Each appended line still in the file gives its place back to the lines of
// that preference the activation removed; every other line stays.
void RestoreFirefoxLines(const TFileChange& Change, std::string Now) {
  const TTextLines prefs = DecodeTextLines(std::move(Now));
  std::vector<bool> found(Change.Appended.size(), false);
  for (std::size_t i = 0; i < prefs.Count(); ++i) {
    const std::string line = prefs.ToUtf8(prefs.Line(i));
    for (std::size_t k = 0; k < Change.Appended.size(); ++k) {
      if (line == Change.Appended[k]) found[k] = true;
    }
  }
  int back = 0;
  for (const bool was : found) back += was ? 1 : 0;
  if (back == 0) {
    Log(Change.Path + ": none of the proxy lines is there any more; left as it is");
    return;
  }
  std::vector<bool> done(Change.Appended.size(), false);
  SaveTextLines(Change.Path, prefs.Encoding, prefs.LineEnd, [&](TTextEncoder& out) {
    for (std::size_t i = 0; i < prefs.Count(); ++i) {
      const std::string_view raw = prefs.Line(i);
      const std::string line = prefs.ToUtf8(raw);
      std::size_t k = 0;
      while (k < Change.Appended.size() && line != Change.Appended[k]) ++k;
      if (k == Change.Appended.size()) {
        out.FileLine(raw);
        continue;
      }
      if (done[k]) continue;  // the same line twice: once is enough to replace
      done[k] = true;
      for (const TFirefoxProxyLine& removed : Change.Removed) {
        if (removed.Preference == k) out.ProgramLine(removed.Text);
      }
    }
  });
  Log(Change.Path + ": " + std::to_string(back) + " proxy preferences put back line by line");
}

enum class TFileOutcome { Done, Failed, Dropped };

TFileOutcome RestoreFile(const TFileChange& Change, const std::vector<std::string>& Opera,
                         const std::vector<std::string>& Firefox) {
  const std::vector<std::string>& found = Change.Kind == TSettingsFileKind::Opera ? Opera : Firefox;
  bool known = false;
  for (const std::string& file : found) known = known || SameSettingsFile(file, Change.Path);
  if (!known) {
    Log(Change.Path + ": not among this user's settings files now; left alone");
    return TFileOutcome::Dropped;
  }
  try {
    std::string now = LoadSettingsFileBytes(Change.Path);
    if (Change.HasOriginal && now == Change.Original) {
      Log(Change.Path + ": as it was already");
      return TFileOutcome::Done;
    }
    if (Change.HasOriginal && ActivatedBytes(Change) == now) {
      // Nobody has written it since: back byte for byte.
      SaveSettingsFileBytes(Change.Path, Change.Original);
      Log(Change.Path + ": put back as it was");
      return TFileOutcome::Done;
    }
    if (Change.Kind == TSettingsFileKind::Opera) {
      RestoreOperaLines(Change, now);
    } else {
      RestoreFirefoxLines(Change, std::move(now));
    }
    return TFileOutcome::Done;
  } catch (const ENotRegularFile& error) {
    Log(std::string(error.what()) + "; left alone");
    return TFileOutcome::Dropped;
  } catch (const std::exception& error) {
    Log(error.what());
    return TFileOutcome::Failed;
  }
}

}  // namespace

TActivationChanges RestoreActivation(const TActivationChanges& Changes) {
  TActivationChanges left;
  if (Changes.System && !RestoreSystem(*Changes.System)) left.System = Changes.System;
  if (Changes.Files.empty()) return left;
  std::vector<std::string> opera;
  std::vector<std::string> firefox;
  try {
    opera = FindActivatedFiles(TSettingsFileKind::Opera);
    firefox = FindActivatedFiles(TSettingsFileKind::Firefox);
  } catch (const std::exception& error) {
    Log("Cannot look for the settings files: " + std::string(error.what()));
    left.Files = Changes.Files;
    return left;
  }
  for (const TFileChange& file : Changes.Files) {
    if (RestoreFile(file, opera, firefox) == TFileOutcome::Failed) left.Files.push_back(file);
  }
  return left;
}

TRecovery RecoverFromProxyJournal(const std::string& Path) {
  TActivationChanges changes;
  std::string reason;
  switch (ReadProxyJournal(Path, changes, reason)) {
    case TJournalRead::Missing:
      return TRecovery::NoJournal;
    case TJournalRead::Refused: {
      const std::string aside = SetProxyJournalAside(Path);
      Log("Refused the proxy journal " + Path + ": " + reason + "; nothing of it applied, " +
          (aside.empty() ? "and it could not be moved aside" : "moved to " + aside));
      return TRecovery::Refused;
    }
    case TJournalRead::Read:
      break;
  }
  Log("A proxy journal was left by a run that did not switch back: putting the settings back");
  const TActivationChanges left = RestoreActivation(changes);
  if (left.Empty()) {
    if (!RemoveProxyJournal(Path)) Log("Cannot remove " + Path);
    Log("Every setting the journal named is back");
    return TRecovery::Restored;
  }
  try {
    WriteProxyJournal(Path, left);
  } catch (const std::exception& error) {
    Log(error.what());
  }
  Log("Some settings could not be put back; the journal keeps them for the next try");
  return TRecovery::Incomplete;
}
