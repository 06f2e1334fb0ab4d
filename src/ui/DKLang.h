// The message catalogue and the language files.
//
// The catalogue holds every text the program composes for the user, by key,
// with its English text built in (the table DKLANG_CONSTS). Language files
// (*.lng beside the program) bring other languages: registered at start-up,
// one of them is chosen, and from then on the catalogue answers in that
// language and each translated window takes its texts from the file's section
// for that window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ui/TextFormat.h"

// Errors of the catalogue and of the language-file reader.
class EDKLangError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A language file that is not read at all: not a regular file (a FIFO, a
// device, a folder), or larger than kMaxLangFileSize. Registration skips it
// with a log line; as the chosen language's file it fails the switch like
// any file that cannot be read.
class ELangFileRefused : public EDKLangError {
 public:
  using EDKLangError::EDKLangError;
};

// The largest language file read. The shipped ones are a few KiB; a file of
// every key and window at length is still well below this.
inline constexpr std::size_t kMaxLangFileSize = std::size_t{1} << 20;

// The language of the built-in texts (U.S. English).
inline constexpr std::uint16_t kDKLangDefaultLanguageID = 1033;
// The highest version of the built-in table's layout.
inline constexpr int kDKLangConstsVersion = 3;
// The name under which the program holds its built-in table.
inline constexpr char kDKLangConstsResource[] = "DKLANG_CONSTS";

// Compares names as the catalogue orders them: ASCII a-z folded to A-Z, then
// by code unit (so "_" sorts after every letter). <0, 0 or >0.
int CompareConstNames(std::string_view a, std::string_view b);
// Letters, digits and "_", not beginning with a digit.
bool IsValidConstName(std::string_view name);

struct TDKLang_Constant {
  std::string Name;
  std::string Value;     // the current text
  std::string DefValue;  // the built-in English text
};

class TLangTranslation;

// The catalogue: constants sorted by name, each name once.
class TDKLang_Constants {
 public:
  // Inserts at the sorted place; raises on an invalid or duplicate name.
  // `Value` becomes both the value and the default value.
  int Add(const std::string& Name, const std::string& Value);
  // The index of the name (compared without regard to case), or -1.
  int IndexOfName(std::string_view Name) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  const TDKLang_Constant& Item(int Index) const {
    return FItems.at(static_cast<std::size_t>(Index));
  }
  void Clear() { FItems.clear(); }

  // Reads the built-in table's stored layout (version 3: UTF-16LE names and
  // values with 16-bit counts) and adds every entry.
  void LoadFromBytes(std::string_view Data);
  // The stored layout of the catalogue's default values.
  std::string SaveToBytes() const;

  // Every value back to its default value.
  void ResetToDefaults();
  // Each constant takes the translation's text for its key, or its default
  // value when the translation lacks the key; keys the catalogue lacks are
  // ignored.
  void Translate(const TLangTranslation& Translation);

 private:
  std::vector<TDKLang_Constant> FItems;
};

// One window section of a language file: property IDs and their texts.
struct TLangSection {
  std::string Name;
  std::vector<std::pair<std::int32_t, std::string>> Entries;  // in file order
  std::unordered_map<std::int32_t, std::size_t> Index;

  const std::string* Find(std::int32_t ID) const;
};

// The content of one language file.
class TLangTranslation {
 public:
  // Reads a language file's bytes; with `ParamsOnly`, stops at the first line
  // that begins with "[". Raises EDKLangError "Loading translations
  // failed.\r\nLine <index>: <error>" for an error on a line.
  static TLangTranslation Parse(std::string_view Bytes, bool ParamsOnly);
  // Parse over a file's content; raises EDKLangError when it cannot be read
  // (ELangFileRefused when it is not read at all).
  static TLangTranslation LoadFromFile(const std::string& FileName, bool ParamsOnly);

  // The canonical layout: UTF-8 with a byte-order mark, CR LF line ends, the
  // parameters, an empty line, each window section with its "%.8d=%s" lines
  // and an empty line, and last "[$CONSTANTS]" with its "%s=%s" lines.
  std::string SaveToText() const;

  // The parameter `Name` (without regard to case) as written, or nothing.
  std::optional<std::string> Param(std::string_view Name) const;
  // LANGID as a decimal number; 0 when missing or not a number.
  std::int32_t LangID() const;
  // The window section of that name (without regard to case), or null.
  const TLangSection* FindSection(std::string_view Name) const;
  // The catalogue text of that key (without regard to case), or null.
  const std::string* FindConstant(std::string_view Name) const;

  const std::vector<std::pair<std::string, std::string>>& Params() const { return FParams; }
  const std::vector<TLangSection>& Sections() const { return FSections; }
  const std::vector<std::pair<std::string, std::string>>& Constants() const { return FConstants; }

  // Building a translation (tools and tests). SetParam replaces a parameter
  // of the same name and AddSection continues a section of the same name;
  // AddEntry and AddConstant raise as the reader does on duplicates.
  void SetParam(const std::string& Name, const std::string& Value);
  TLangSection& AddSection(const std::string& Name);
  void AddEntry(TLangSection& Section, std::int32_t ID, const std::string& Text);
  void AddConstant(const std::string& Name, const std::string& Text);

 private:
  std::vector<std::pair<std::string, std::string>> FParams;
  std::vector<TLangSection> FSections;
  std::vector<std::pair<std::string, std::string>> FConstants;
  // Folded names, so that large files read in linear time.
  std::unordered_map<std::string, std::size_t> FParamIndex;
  std::unordered_map<std::string, std::size_t> FSectionIndex;
  std::unordered_map<std::string, std::size_t> FConstantIndex;
};

// Texts of a language file: "\\" is a backslash, "\n" CR LF, "\t" TAB and a
// backslash with two decimal digits the character of that code; any other
// backslash stays.
std::string DecodeLangText(std::string_view Text);
// The reverse: TAB, line breaks, backslashes and other characters below 32
// escaped, and blanks at either end written as "\32" so trimming keeps them.
std::string EncodeLangText(std::string_view Text);

// The stored property list of a translated window: the window's own entry
// with its properties and one child entry per component.
struct TLangPropEntry {
  std::int32_t ID = 0;
  std::string PropName;
};

struct TLangCompEntry {
  std::string Name;
  std::vector<TLangPropEntry> Props;
  std::vector<TLangCompEntry> Children;
};

// The stored layout (little-endian): name (16-bit byte count, UTF-8), a byte
// 1/0 and the property list (32-bit count, per property a 32-bit ID and the
// name), a byte 1/0 and the children (32-bit count, entries). Raises
// EDKLangError on a truncated or malformed list.
std::string SaveLangData(const TLangCompEntry& Root);
TLangCompEntry LoadLangData(std::string_view Data);

// One translatable text of a window as designed: its ID in the window's
// section of a language file, the component and property that show it, and
// its English text.
struct TLangDesignText {
  std::int32_t ID;
  std::string Component;  // empty for the window itself
  std::string Property;
  std::string Text;  // as designed
};

// A translated window's design: its component name (and so its section),
// its components in design order and its translatable texts in ascending ID
// order.
struct TLangWindowDesign {
  std::string Name;
  std::vector<std::string> Components;
  std::vector<TLangDesignText> Texts;

  // The stored property list: the window with its own properties, then one
  // entry per component with its properties.
  std::string LangData() const;
  // The English text of a component's property; raises EDKLangError when
  // the design has none.
  const std::string& Text(std::string_view Component, std::string_view Property) const;
};

// Whether a language (a Windows language identifier) is written right to
// left: Arabic, Persian, Hebrew, Urdu and the other languages written in
// those scripts or in Syriac and Thaana.
bool LanguageReadsRightToLeft(std::uint16_t LanguageID);

// What a translated window offers its language controller. `Component` is
// empty for the window itself.
class TDKLangWindow {
 public:
  virtual ~TDKLangWindow() = default;
  // The window's component name (the default section name).
  virtual std::string ComponentName() const = 0;
  // The property's present text, or nothing when the window has no such
  // element or property.
  virtual std::optional<std::string> GetPropertyText(const std::string& Component,
                                                     const std::string& Property) const = 0;
  virtual void SetPropertyText(const std::string& Component, const std::string& Property,
                               const std::string& Value) = 0;
  // The texts of `LanguageID` are in place (also English when the window is
  // loaded): what depends on the language as a whole follows it here.
  virtual void Translated(std::uint16_t /*LanguageID*/) {}
};

class TDKLanguageManager;

// Translates one window: placed on the window with its stored property list.
class TDKLanguageController {
 public:
  // `Manager` null means LangManager().
  TDKLanguageController(TDKLangWindow& Owner, std::string_view LangData,
                        TDKLanguageManager* Manager = nullptr);
  ~TDKLanguageController();
  TDKLanguageController(const TDKLanguageController&) = delete;
  TDKLanguageController& operator=(const TDKLanguageController&) = delete;

  // The section of a language file for this window; empty means the
  // window's component name.
  const std::string& SectionName() const { return FSectionName; }
  void SetSectionName(const std::string& Value) { FSectionName = Value; }
  std::string ActualSectionName() const;

  // Called once the window has been loaded from its design, before its own
  // creation handler: registers with the manager, reads the design values
  // and, when a language other than English is current, translates.
  void Loaded();

  struct Assignment {
    std::string Component;  // empty for the window itself
    std::string Property;
    std::string Value;
  };
  // What each listed property should show under `Translation` (null: none).
  std::vector<Assignment> PlanTranslation(const TLangTranslation* Translation) const;
  void Apply(const std::vector<Assignment>& Assignments);

 private:
  struct Property {
    std::string Component;
    std::string Name;
    std::int32_t ID = 0;
    std::optional<std::string> Default;
  };

  TDKLangWindow& FOwner;
  TDKLanguageManager& FManager;
  std::vector<Property> FProperties;
  std::string FSectionName;
  bool FRegistered = false;
};

class TDKLanguageManager {
 public:
  // Loads the catalogue from the program's table DKLANG_CONSTS (empty when
  // the program holds none).
  TDKLanguageManager();
  // Loads the catalogue from the given table bytes (tests, tools).
  explicit TDKLanguageManager(std::optional<std::string_view> ConstsTable);
  ~TDKLanguageManager();
  TDKLanguageManager(const TDKLanguageManager&) = delete;
  TDKLanguageManager& operator=(const TDKLanguageManager&) = delete;

  std::uint16_t DefaultLanguageID() const { return kDKLangDefaultLanguageID; }
  std::uint16_t LanguageID() const;
  // Switches the language: English when `Value` is the default or no file
  // is registered for it. Raises when the chosen file cannot be read.
  void SetLanguageID(std::uint16_t Value);

  // The current text of a key (without regard to case); raises
  // EDKLangError "Constant "<key>" not found".
  std::string GetConstantValue(const std::string& Name) const;
  // A copy of the catalogue.
  TDKLang_Constants Constants() const;

  // Registers the files in `Dir` whose names match `Mask` (entering
  // subfolders not beginning with "." when `Recursive`); how many were.
  int ScanForLangFiles(const std::string& Dir, const std::string& Mask, bool Recursive);
  // True when the file exists and declares a usable language; a file for
  // 1033 counts but is not registered. A file that is not read at all (see
  // ELangFileRefused) is logged and skipped; one that cannot be opened
  // raises.
  bool RegisterLangFile(const std::string& FileName);
  // The registered languages in registration order, and their files.
  std::vector<std::uint16_t> LanguageIDs() const;
  std::optional<std::string> LanguageFile(std::uint16_t ID) const;

  void AddLangController(TDKLanguageController* Controller);
  void RemoveLangController(TDKLanguageController* Controller);

 private:
  struct LangResource {
    std::uint16_t ID;
    std::string FileName;
  };

  int ScanFolder(const std::string& Dir, const std::string& Mask, int Depth);
  std::optional<std::string> FileOf(std::uint16_t ID) const;  // caller holds the lock

  TDKLang_Constants FConstants;
  std::vector<LangResource> FLangResources;
  std::vector<TDKLanguageController*> FLangControllers;
  std::uint16_t FLanguageID = kDKLangDefaultLanguageID;
  mutable std::shared_mutex FSynchronizer;

  friend class TDKLanguageController;
};

// The process's one manager, created on the first call.
TDKLanguageManager& LangManager();

// A catalogue text in the current language passed through FormatText, also
// without arguments (so a literal percent sign is written "%%").
std::string CatalogueText(const std::string& Key);
std::string CatalogueText(const std::string& Key, std::initializer_list<TFormatArg> Args);

// True when `Name` matches the file mask ("*" and "?", without regard to
// case).
bool LangFileNameMatches(std::string_view Name, std::string_view Mask);
