// The message catalogue: the built-in table, language files, the language
// switch and the translation of a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "app/MainFormLangData.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "engine/BridgeLines.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Resources.h"
#include "support/TestSupport.h"
#include "ui/DKLang.h"
#include "ui/TextFormat.h"

namespace {

using test_support::TempFolder;
using test_support::WriteFileForTest;

const std::string kBom = "\xEF\xBB\xBF";

std::string BuiltInTable() {
  const auto table = platform::FindProgramResource(kDKLangConstsResource);
  return table ? std::string(*table) : std::string();
}

// A file declaring `lang_id` with the given catalogue and window lines.
std::string LangFile(int lang_id, const std::string& constants, const std::string& window = "") {
  return kBom + "LANGID=" + std::to_string(lang_id) + "\r\n\r\n[NimbraMainForm]\r\n" + window +
         "\r\n[$CONSTANTS]\r\n" + constants;
}

std::string ParseError(const std::string& text) {
  try {
    TLangTranslation::Parse(text, false);
  } catch (const EDKLangError& e) {
    return e.what();
  }
  return "no error";
}

// ---------------------------------------------------------------------------

TEST(DKLangConstantsTest, BuiltInTableHoldsTheEnglishTextsInCatalogueOrder) {
  const std::string table = BuiltInTable();
  ASSERT_FALSE(table.empty()) << "the program holds no DKLANG_CONSTS";
  TDKLang_Constants constants;
  constants.LoadFromBytes(table);
  ASSERT_EQ(constants.Count(), 42);
  EXPECT_EQ(constants.Item(0).Name, "After_closing_you_not_anonymous");
  EXPECT_LT(constants.IndexOfName("Starting_proxy"), constants.IndexOfName("Start_proxy"));
  EXPECT_EQ(constants.Item(constants.IndexOfName("Dont_show_me_again")).Value,
            "Don''t show me again");
  EXPECT_EQ(constants.Item(constants.IndexOfName("Starting_proxy")).DefValue,
            "Starting proxy: %d%%");
  EXPECT_NE(constants.IndexOfName("Retirieving_ip"), -1);
  // Stored as sorted, so writing the catalogue back gives the same bytes.
  EXPECT_EQ(constants.SaveToBytes(), table);
}

// The options dialog shows each refusal of the bridge checker by its
// catalogue name: none may be missing from the table.
TEST(DKLangConstantsTest, EveryBridgeFaultHasItsText) {
  TDKLang_Constants constants;
  constants.LoadFromBytes(BuiltInTable());
  for (int fault = static_cast<int>(TBridgeFault::NoLines);
       fault <= static_cast<int>(TBridgeFault::ExtraWord); ++fault) {
    const std::string key = BridgeFaultKey(static_cast<TBridgeFault>(fault));
    EXPECT_NE(constants.IndexOfName(key), -1) << fault << " " << key;
  }
  for (const char* key : {"Bridge_line_refused", "Network_unreachable", "Use_bridges",
                          "Built_in_bridges", "Custom_bridges", "Bridges_group"}) {
    EXPECT_NE(constants.IndexOfName(key), -1) << key;
  }
  EXPECT_EQ(constants.Item(constants.IndexOfName("Bridge_line_refused")).DefValue, "Line %d: %s");
}

TEST(DKLangConstantsTest, NamesAreSortedFoldedAndHeldOnce) {
  TDKLang_Constants constants;
  constants.Add("Stop_proxy", "b");
  constants.Add("Start_proxy", "a");
  constants.Add("Starting_proxy", "c");
  constants.Add("abc", "d");
  EXPECT_EQ(constants.Item(0).Name, "abc");
  EXPECT_EQ(constants.Item(1).Name, "Starting_proxy");
  EXPECT_EQ(constants.Item(2).Name, "Start_proxy");
  EXPECT_EQ(constants.IndexOfName("STARTING_PROXY"), 1);
  EXPECT_EQ(constants.IndexOfName("Start"), -1);
  EXPECT_THROW(constants.Add("start_PROXY", "x"), EDKLangError);
  for (const char* bad : {"", "1abc", "with space", "dash-ed", "Ünicode"}) {
    try {
      constants.Add(bad, "x");
      ADD_FAILURE() << bad;
    } catch (const EDKLangError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid constant name (\"") + bad + "\")");
    }
  }
}

TEST(DKLangConstantsTest, TableLayoutErrors) {
  TDKLang_Constants good;
  good.Add("Name", "Value");
  std::string table = good.SaveToBytes();
  EXPECT_EQ(table,
            std::string("\x03\x01\x01\x00\x00\x00\x04\x00N\0a\0m\0e\0\x05\x00V\0a\0l\0u\0e\0", 28));
  table[0] = 4;
  TDKLang_Constants newer;
  try {
    newer.LoadFromBytes(table);
    ADD_FAILURE();
  } catch (const EDKLangError& e) {
    EXPECT_STREQ(e.what(), "Stream version (4) is greater than the current one (3)");
  }
  table[0] = 3;
  EXPECT_THROW(TDKLang_Constants().LoadFromBytes(table.substr(0, table.size() - 1)), EDKLangError);
  TDKLang_Constants twice;
  twice.LoadFromBytes(table);
  EXPECT_THROW(twice.LoadFromBytes(table), EDKLangError);
}

// ---------------------------------------------------------------------------

TEST(LangFileTest, TextsAreDecoded) {
  EXPECT_EQ(DecodeLangText("a\\nb"), "a\r\nb");
  EXPECT_EQ(DecodeLangText("a\\\\b"), "a\\b");
  EXPECT_EQ(DecodeLangText("a\\qb"), "a\\qb");
  EXPECT_EQ(DecodeLangText("\\65BC"), "ABC");
  EXPECT_EQ(DecodeLangText("\\32x\\32"), " x ");
  EXPECT_EQ(DecodeLangText("tab\\there"), "tab\there");
  EXPECT_EQ(DecodeLangText("\\N \\T \\6 \\"), "\\N \\T \\6 \\");
  EXPECT_EQ(DecodeLangText("\\\\65"), "\\65");

  const std::string text = " lead\ttab\r\nline\nlf\rcr \\ back\x01\x1F trail ";
  EXPECT_EQ(EncodeLangText(text), "\\32lead\\ttab\\nline\\nlf\\ncr \\\\ back\\01\\31 trail\\32");
  EXPECT_EQ(DecodeLangText(EncodeLangText(text)),
            " lead\ttab\r\nline\r\nlf\r\ncr \\ back\x01\x1F trail ");
}

TEST(LangFileTest, LinesSectionsAndEntries) {
  const TLangTranslation t = TLangTranslation::Parse(
      "  langid = 1049 \r\n"
      "Other=x\n"
      "; [NimbraMainForm]\r"
      "[]\r\n"
      "[Unclosed\r\n"
      "[ nimbramainform ]\r\n"
      "00000166 = Address \r\n"
      "0=zero\r\n"
      "abc=letters\r\n"
      "-5=negative\r\n"
      "no equals sign\r\n"
      "=no name\r\n"
      "[$constants]\r\n"
      "starting_proxy=\\32 %d%% \\32\r\n"
      "Unknown_Key=kept in the file\r\n"
      "[NIMBRAMAINFORM]\r\n"
      "1=Caption\r\n",
      false);
  EXPECT_EQ(t.LangID(), 1049);
  EXPECT_EQ(t.Param("LANGID").value_or(""), "1049");
  ASSERT_EQ(t.Sections().size(), 1u);
  const TLangSection* section = t.FindSection("NimbraMainForm");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->Name, "nimbramainform");
  ASSERT_EQ(section->Entries.size(), 2u);
  EXPECT_EQ(*section->Find(166), "Address");
  EXPECT_EQ(*section->Find(1), "Caption");
  ASSERT_NE(t.FindConstant("Starting_proxy"), nullptr);
  EXPECT_EQ(*t.FindConstant("Starting_proxy"), "  %d%%  ");
  EXPECT_NE(t.FindConstant("unknown_key"), nullptr);
}

TEST(LangFileTest, EncodingsAndLineEnds) {
  const std::string ascii = "LANGID=1049\r\n[$CONSTANTS]\r\nHide_Nimbra=Hide\r\n";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char c : ascii) {
    le += c;
    le += '\0';
    be += '\0';
    be += c;
  }
  const std::string texts[] = {ascii,
                               kBom + ascii,
                               le,
                               be,
                               "LANGID=1049\r[$CONSTANTS]\rHide_Nimbra=Hide",
                               "LANGID=1049\n[$CONSTANTS]\nHide_Nimbra=Hide\n"};
  for (const std::string& text : texts) {
    const TLangTranslation t = TLangTranslation::Parse(text, false);
    EXPECT_EQ(t.LangID(), 1049);
    ASSERT_NE(t.FindConstant("Hide_Nimbra"), nullptr);
    EXPECT_EQ(*t.FindConstant("Hide_Nimbra"), "Hide");
  }
  // Cyrillic in UTF-8 and UTF-16.
  const std::u16string russian = u"LANGID=1049\n[$CONSTANTS]\nHide_Nimbra=Скрыть\n";
  std::string utf16 = "\xFF\xFE";
  for (char16_t unit : russian) {
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
  }
  EXPECT_EQ(*TLangTranslation::Parse(utf16, false).FindConstant("Hide_Nimbra"), "Скрыть");
  // Only the parameters are read when asked: a bad line further down is
  // never seen.
  EXPECT_EQ(TLangTranslation::Parse("LANGID=1031\n[$CONSTANTS]\n1bad=x\n", true).LangID(), 1031);
}

TEST(LangFileTest, ErrorsNameTheLineIndex) {
  EXPECT_EQ(ParseError("LANGID=1049\r\n"
                       "\r\n"
                       "[$CONSTANTS]\r\n"
                       "Start_proxy=Start\r\n"
                       "START_PROXY=again\r\n"),
            "Loading translations failed.\r\nLine 4: Duplicate constant name (\"START_PROXY\")");
  EXPECT_EQ(ParseError("[Form]\n1=a\n[Other]\n[form]\n00000001=b\n"),
            "Loading translations failed.\r\nLine 4: Duplicate property value translation ID (1)");
  EXPECT_EQ(ParseError("[$CONSTANTS]\nbad name=x\n"),
            "Loading translations failed.\r\nLine 1: Invalid constant name (\"bad name\")");
  // The same ID in two different sections is fine.
  EXPECT_EQ(ParseError("[A]\n1=a\n[B]\n1=b\n"), "no error");
}

TEST(LangFileTest, CanonicalLayoutRoundTrips) {
  TLangTranslation t;
  t.SetParam("LANGID", "1049");
  TLangSection& section = t.AddSection("NimbraMainForm");
  t.AddEntry(section, 166, "Адрес");
  t.AddEntry(section, 1, " two\r\nlines ");
  t.AddConstant("Starting_proxy", "Запуск: %d%%\\");
  const std::string text = t.SaveToText();
  EXPECT_EQ(text, kBom +
                      "LANGID=1049\r\n"
                      "\r\n"
                      "[NimbraMainForm]\r\n"
                      "00000166=Адрес\r\n"
                      "00000001=\\32two\\nlines\\32\r\n"
                      "\r\n"
                      "[$CONSTANTS]\r\n"
                      "Starting_proxy=Запуск: %d%%\\\\\r\n");
  const TLangTranslation back = TLangTranslation::Parse(text, false);
  EXPECT_EQ(*back.FindSection("NimbraMainForm")->Find(1), " two\r\nlines ");
  EXPECT_EQ(*back.FindConstant("Starting_proxy"), "Запуск: %d%%\\");
  EXPECT_EQ(back.SaveToText(), text);
}

std::string TestFolder() { return platform::ExtractFilePath(platform::ExecutablePath()); }

std::string SampleTranslationPath() { return TestFolder() + "Russian.lng"; }

// Every language file the program ships: the build copies them all beside
// this test, and only those.
std::vector<std::string> ShippedTranslations() {
  std::vector<std::string> names;
  for (const platform::DirEntry& entry :
       platform::ListDirectory(TestFolder()).value_or(std::vector<platform::DirEntry>())) {
    if (!entry.is_directory && LangFileNameMatches(entry.name, "*.lng"))
      names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(LangFileTest, ShippedTranslationsAreCompleteCanonicalAndFitTheEnglish) {
  TDKLang_Constants constants;
  constants.LoadFromBytes(BuiltInTable());
  std::map<std::int32_t, std::string> files_by_id;
  for (const std::string& name : ShippedTranslations()) {
    SCOPED_TRACE(name);
    const std::optional<std::string> bytes = platform::ReadWholeFile(TestFolder() + name);
    ASSERT_TRUE(bytes);
    const TLangTranslation t = TLangTranslation::Parse(*bytes, false);
    // What `langfile normalize` would write: BOM, CR LF, canonical order.
    EXPECT_EQ(t.SaveToText(), *bytes);
    const std::int32_t id = t.LangID();
    EXPECT_NE(id & 0xFFFF, 0);
    EXPECT_NE(id, kDKLangDefaultLanguageID);
    const auto [known, added] = files_by_id.emplace(id, name);
    EXPECT_TRUE(added) << "LANGID " << id << " is also declared by " << known->second;

    for (int i = 0; i < constants.Count(); ++i) {
      const TDKLang_Constant& english = constants.Item(i);
      const std::string* text = t.FindConstant(english.Name);
      if (text == nullptr) {
        ADD_FAILURE() << "missing constant " << english.Name;
        continue;
      }
      EXPECT_NE(*text, "") << english.Name;
      EXPECT_EQ(FormatUses(*text), FormatUses(english.DefValue))
          << english.Name << ": \"" << *text << "\" against \"" << english.DefValue << "\"";
    }
    EXPECT_EQ(t.Constants().size(), static_cast<std::size_t>(constants.Count()))
        << "constants the catalogue does not know";
    // A section per translated window, each with every text of its design.
    ASSERT_EQ(t.Sections().size(), TranslatedWindows().size());
    for (const TLangWindowDesign* window : TranslatedWindows()) {
      const TLangSection* section = t.FindSection(window->Name);
      ASSERT_NE(section, nullptr) << window->Name;
      for (const TLangDesignText& text : window->Texts) {
        const std::string* translated = section->Find(text.ID);
        EXPECT_TRUE(translated != nullptr && !translated->empty())
            << window->Name << " " << text.ID << " " << text.Text;
        // An accelerator the English has keeps one in the translation (not
        // in scripts read right to left, whose dialogs do without).
        if (translated != nullptr && text.Text.find('&') != std::string::npos &&
            !LanguageReadsRightToLeft(static_cast<std::uint16_t>(id))) {
          EXPECT_NE(translated->find('&'), std::string::npos) << window->Name << " " << text.ID;
        }
      }
      EXPECT_EQ(section->Entries.size(), window->Texts.size())
          << "entries " << window->Name << " does not have";
    }
  }
  // Persian, Simplified Chinese, Arabic, Turkish, Spanish (modern sort),
  // German, French and Russian: a file the build failed to copy shows here.
  for (std::int32_t id : {1065, 2052, 1025, 1055, 3082, 1031, 1036, 1049}) {
    EXPECT_EQ(files_by_id.count(id), 1u) << "no language file for " << id;
  }
  const std::optional<std::string> russian = platform::ReadWholeFile(SampleTranslationPath());
  ASSERT_TRUE(russian);
  EXPECT_EQ(*TLangTranslation::Parse(*russian, false).FindConstant("Starting_proxy"),
            "Запуск прокси: %d%%");
}

TEST(LangFileTest, EveryShippedLanguageIsChosenAndShowsTheComposedTexts) {
  TDKLanguageManager manager{BuiltInTable()};
  const std::vector<std::string> files = ShippedTranslations();
  EXPECT_EQ(manager.ScanForLangFiles(TestFolder(), "*.lng", false), static_cast<int>(files.size()));
  EXPECT_EQ(manager.LanguageIDs().size(), files.size());
  for (std::uint16_t id : manager.LanguageIDs()) {
    SCOPED_TRACE(id);
    manager.SetLanguageID(id);
    EXPECT_EQ(manager.LanguageID(), id);
    const std::string starting = FormatText(manager.GetConstantValue("Starting_proxy"), {42});
    EXPECT_NE(starting.find("42"), std::string::npos) << starting;
    EXPECT_NE(starting.find('%'), std::string::npos) << starting;
    EXPECT_NE(starting, "Starting proxy: 42%");
    EXPECT_NO_THROW(
        FormatText(manager.GetConstantValue("Browser_windows_are_opened"), {"Nimbra", "Nimbra"}));
  }
  manager.SetLanguageID(kDKLangDefaultLanguageID);
  EXPECT_EQ(manager.GetConstantValue("Starting_proxy"), "Starting proxy: %d%%");
}

// ---------------------------------------------------------------------------

TEST(LangDataTest, EveryWindowDesignIsConsistent) {
  std::set<std::string> names;
  for (const TLangWindowDesign* window : TranslatedWindows()) {
    SCOPED_TRACE(window->Name);
    EXPECT_TRUE(names.insert(window->Name).second) << "two windows share a section";
    const TLangCompEntry root = LoadLangData(window->LangData());
    EXPECT_EQ(root.Name, window->Name);
    std::set<std::int32_t> ids;
    std::int32_t last = 0;
    std::size_t listed = root.Props.size();
    for (const TLangCompEntry& child : root.Children) listed += child.Props.size();
    for (const TLangDesignText& text : window->Texts) {
      EXPECT_GT(text.ID, last) << "IDs ascend";
      last = text.ID;
      EXPECT_FALSE(text.Text.empty()) << text.ID;
      const bool component_known =
          text.Component.empty() || std::find(window->Components.begin(), window->Components.end(),
                                              text.Component) != window->Components.end();
      EXPECT_TRUE(component_known) << text.ID << " names an unlisted " << text.Component;
      EXPECT_EQ(window->Text(text.Component, text.Property), text.Text);
    }
    // Every text is in the stored list once.
    EXPECT_EQ(listed, window->Texts.size());
  }
  EXPECT_THROW(NimbraMainFormDesign().Text("check", "Tooltip"), EDKLangError);
}

TEST(LangDataTest, RightToLeftLanguagesByPrimaryLanguage) {
  // Arabic (Saudi Arabia, Egypt), Persian, Hebrew, Urdu.
  for (std::uint16_t id : {1025, 3073, 1065, 1037, 1056}) {
    EXPECT_TRUE(LanguageReadsRightToLeft(id)) << id;
  }
  // English, Russian, Chinese, Turkish, French, German, Spanish (modern).
  for (std::uint16_t id : {1033, 1049, 2052, 1055, 1036, 1031, 3082}) {
    EXPECT_FALSE(LanguageReadsRightToLeft(id)) << id;
  }
}

TEST(LangDataTest, MainWindowListRoundTripsAndDamageIsRefused) {
  const std::string& data = NimbraMainFormLangData();
  const TLangCompEntry root = LoadLangData(data);
  EXPECT_EQ(root.Name, "NimbraMainForm");
  ASSERT_EQ(root.Props.size(), 1u);
  EXPECT_EQ(root.Props[0].ID, 1);
  EXPECT_EQ(root.Props[0].PropName, "Caption");
  EXPECT_EQ(root.Children.front().Name, "back");
  EXPECT_TRUE(root.Children.front().Props.empty());
  EXPECT_EQ(SaveLangData(root), data);
  // "back" has neither list: its name and two zero bytes.
  EXPECT_NE(data.find(std::string("\x04\x00"
                                  "back\x00\x00",
                                  8)),
            std::string::npos);

  EXPECT_THROW(LoadLangData(data.substr(0, data.size() - 1)), EDKLangError);
  EXPECT_THROW(LoadLangData(data + "x"), EDKLangError);
  EXPECT_THROW(LoadLangData(std::string("\x00\x00\x01\xFF\xFF\xFF\x7F", 7)), EDKLangError);
}

// ---------------------------------------------------------------------------

// A window whose texts are a map from (component, property).
class FakeWindow : public TDKLangWindow {
 public:
  FakeWindow() {
    for (const TLangDesignText& text : NimbraMainFormDesignTexts()) {
      texts_[{text.Component, text.Property}] = text.Text;
    }
  }
  std::string ComponentName() const override { return kNimbraMainFormName; }
  std::optional<std::string> GetPropertyText(const std::string& component,
                                             const std::string& property) const override {
    const auto it = texts_.find({component, property});
    if (it == texts_.end()) return std::nullopt;
    return it->second;
  }
  void SetPropertyText(const std::string& component, const std::string& property,
                       const std::string& value) override {
    texts_[{component, property}] = value;
  }
  std::string Text(const std::string& component, const std::string& property) const {
    return GetPropertyText(component, property).value_or("<none>");
  }
  void Translated(std::uint16_t language) override { translated.push_back(language); }
  // The languages it was told its texts are in, in order.
  std::vector<std::uint16_t> translated;

 private:
  std::map<std::pair<std::string, std::string>, std::string> texts_;
};

class LanguageManagerTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& content) {
    WriteFileForTest(folder_ / name, content);
    return folder_ / name;
  }
  std::string Text(const std::string& key) const { return manager_.GetConstantValue(key); }

  TempFolder folder_;
  TDKLanguageManager manager_{BuiltInTable()};
};

TEST_F(LanguageManagerTest, NoFilesMeansEnglish) {
  EXPECT_EQ(manager_.ScanForLangFiles(folder_.Path(), "*.lng", false), 0);
  manager_.SetLanguageID(1049);
  EXPECT_EQ(manager_.LanguageID(), 1033);
  EXPECT_EQ(Text("Anonymity_OFF"), "Anonymity OFF");
  EXPECT_EQ(Text("anonymity_off"), "Anonymity OFF");
  try {
    Text("Not_there");
    ADD_FAILURE();
  } catch (const EDKLangError& e) {
    EXPECT_STREQ(e.what(), "Constant \"Not_there\" not found");
  }
  EXPECT_EQ(TDKLanguageManager(std::nullopt).Constants().Count(), 0);
}

TEST_F(LanguageManagerTest, ScanRegistersFilesThatDeclareALanguage) {
  Put("ru.lng", LangFile(1049, "Anonymity_OFF=first\r\n"));
  Put("ru2.LNG", LangFile(1049, "Anonymity_OFF=second\r\n"));
  Put("english.lng", LangFile(1033, "Anonymity_OFF=replaced\r\n"));
  Put("none.lng", "[$CONSTANTS]\r\nAnonymity_OFF=x\r\n");
  Put("zero.lng", "LANGID=65536\r\n");
  Put("notes.txt", LangFile(1031, ""));
  ASSERT_TRUE(platform::ForceDirectories(folder_ / "sub"));
  ASSERT_TRUE(platform::ForceDirectories(folder_ / ".hidden"));
  Put(std::string("sub") + platform::kPathDelim + "de.lng", LangFile(1031, ""));
  Put(std::string(".hidden") + platform::kPathDelim + "fr.lng", LangFile(1036, ""));

  EXPECT_EQ(manager_.ScanForLangFiles(folder_.Path(), "*.lng", false), 3);
  EXPECT_EQ(manager_.LanguageIDs(), std::vector<std::uint16_t>{1049});
  EXPECT_EQ(manager_.ScanForLangFiles(folder_.Path(), "*.lng", true), 4);
  EXPECT_EQ(manager_.LanguageIDs(), (std::vector<std::uint16_t>{1049, 1031}));
  EXPECT_FALSE(manager_.RegisterLangFile(folder_ / "missing.lng"));

  // Of the two files for 1049 the one listed later wins.
  std::string later;
  const auto listing = platform::ListDirectory(folder_.Path());
  ASSERT_TRUE(listing);
  for (const platform::DirEntry& entry : *listing) {
    if (entry.name == "ru.lng" || entry.name == "ru2.LNG") later = entry.name;
  }
  EXPECT_EQ(manager_.LanguageFile(1049).value_or(""), folder_ / later);
  manager_.SetLanguageID(1049);
  EXPECT_EQ(Text("Anonymity_OFF"), later == "ru.lng" ? "first" : "second");

  // The file for 1033 was counted but English stays built in.
  manager_.SetLanguageID(1033);
  EXPECT_EQ(Text("Anonymity_OFF"), "Anonymity OFF");
}

TEST_F(LanguageManagerTest, SwitchTranslatesTheCatalogue) {
  manager_.RegisterLangFile(Put("ru.lng", LangFile(1049,
                                                   "starting_proxy=Запуск: %d%%\r\n"
                                                   "Stop_proxy=Стоп\r\n"
                                                   "Not_In_Catalogue=ignored\r\n")));
  manager_.RegisterLangFile(Put("de.lng", LangFile(1031, "Start_proxy=Start\r\n")));
  manager_.SetLanguageID(1049);
  EXPECT_EQ(manager_.LanguageID(), 1049);
  EXPECT_EQ(Text("Starting_proxy"), "Запуск: %d%%");
  EXPECT_EQ(Text("Stop_proxy"), "Стоп");
  EXPECT_EQ(Text("Start_proxy"), "Start proxy");  // missing from the file: English

  // A key the new language lacks goes back to English, not the last language.
  manager_.SetLanguageID(1031);
  EXPECT_EQ(Text("Stop_proxy"), "Stop proxy");
  EXPECT_EQ(Text("Start_proxy"), "Start");

  manager_.SetLanguageID(1036);  // nothing registered: English
  EXPECT_EQ(manager_.LanguageID(), 1033);
  EXPECT_EQ(Text("Start_proxy"), "Start proxy");
}

TEST_F(LanguageManagerTest, ABadLineInTheSelectedFileFailsTheSwitch) {
  manager_.RegisterLangFile(Put("ru.lng",
                                "LANGID=1049\r\n"
                                "[$CONSTANTS]\r\n"
                                "Stop_proxy=a\r\n"
                                "; comment\r\n"
                                "stop_proxy=b\r\n"));
  try {
    manager_.SetLanguageID(1049);
    ADD_FAILURE();
  } catch (const EDKLangError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Loading translations failed.\r\nLine 4: Duplicate constant name (\"stop_proxy\")");
  }
  EXPECT_EQ(manager_.LanguageID(), 1033);
  EXPECT_EQ(Text("Stop_proxy"), "Stop proxy");
}

TEST_F(LanguageManagerTest, ControllerTranslatesItsWindow) {
  manager_.RegisterLangFile(Put("ru.lng", LangFile(1049, "",
                                                   "00000166=Адрес\r\n"
                                                   "151=Настройки...\r\n"
                                                   "1=Заголовок\r\n")));
  FakeWindow before;
  TDKLanguageController early(before, NimbraMainFormLangData(), &manager_);
  early.Loaded();
  EXPECT_EQ(before.translated, std::vector<std::uint16_t>{1033}) << "loaded in English";
  manager_.SetLanguageID(1049);
  EXPECT_EQ(before.translated, (std::vector<std::uint16_t>{1033, 1049}));
  EXPECT_EQ(before.Text("Proxy_Address", "Caption"), "Адрес");
  EXPECT_EQ(before.Text("", "Caption"), "Заголовок");
  EXPECT_EQ(before.Text("Exit2", "Caption"), "Exit");  // not in the file: as designed

  // A window created after the switch is translated as it is loaded.
  FakeWindow after;
  {
    TDKLanguageController late(after, NimbraMainFormLangData(), &manager_);
    late.Loaded();
    EXPECT_EQ(after.translated, std::vector<std::uint16_t>{1049});
    EXPECT_EQ(after.Text("Options1", "Caption"), "Настройки...");
    EXPECT_EQ(after.Text("TrayIcon", "Hint"), "Nimbra");
  }
  // Back to English: the design texts return; the destroyed controller is
  // gone from the manager.
  manager_.SetLanguageID(1033);
  EXPECT_EQ(before.Text("Proxy_Address", "Caption"), "Retrieving IP address");
  EXPECT_EQ(before.Text("Options1", "Caption"), "Options...");
  EXPECT_EQ(after.Text("Options1", "Caption"), "Настройки...");
}

// Names a scan meets that are no language file to read.
class RefusedLangFileTest : public LanguageManagerTest {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
  }
  void TearDown() override { InitLog(false); }

  // The log's "Language file skipped" lines, without their time stamps.
  std::vector<std::string> Skipped() const {
    std::vector<std::string> lines;
    const std::string log = test_support::ReadFileOrMissing(LogFileName());
    const std::string mark = "TDKLanguageManager.RegisterLangFile: Language file skipped: ";
    for (std::size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at)) {
      at += mark.size();
      lines.push_back(log.substr(at, log.find("\r\n", at) - at));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  std::string TooLarge(const std::string& name) const {
    return std::string("\"") + (folder_ / name) + "\" is larger than 1048576 bytes";
  }
  std::string NotRegular(const std::string& name) const {
    return std::string("\"") + (folder_ / name) + "\" is not a regular file";
  }
  // A file that declares `lang_id` in its first line and is `size` bytes
  // long.
  std::string Padded(const std::string& name, int lang_id, std::size_t size) {
    std::string text = "LANGID=" + std::to_string(lang_id) + "\r\n";
    text.resize(size, ';');
    return Put(name, text);
  }

  test_support::IsolatedSystem system_;
};

TEST_F(RefusedLangFileTest, ScanReadsOnlyRegularFilesUpToTheLimitAndLogsTheRest) {
  Put("ru.lng", LangFile(1049, "Stop_proxy=Stop\r\n"));
  Padded("at-limit.lng", 1031, kMaxLangFileSize);
  Padded("over-limit.lng", 1036, kMaxLangFileSize + 1);
  // Far beyond what a 32-bit process could hold: refused by its size alone.
  const std::string huge = Padded("huge.lng", 1040, 16);
  std::error_code sparse;
  std::filesystem::resize_file(huge, std::uintmax_t{5} << 30, sparse);
  ASSERT_TRUE(platform::ForceDirectories(folder_ / "folder.lng"));
  std::vector<std::string> expected = {TooLarge("over-limit.lng")};
  if (!sparse) expected.push_back(TooLarge("huge.lng"));
#ifndef _WIN32
  // A FIFO without a writer would hold a blocking open for good, and the
  // device would feed a reader without end.
  ASSERT_EQ(std::system(("mkfifo '" + folder_ / "fifo.lng" + "'").c_str()), 0);
  std::filesystem::create_symlink("/dev/zero", folder_ / "zero.lng");
  expected.push_back(NotRegular("fifo.lng"));
  expected.push_back(NotRegular("zero.lng"));
#endif
  std::sort(expected.begin(), expected.end());

  EXPECT_EQ(manager_.ScanForLangFiles(folder_.Path(), "*.lng", false), 2);
  std::vector<std::uint16_t> ids = manager_.LanguageIDs();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{1031, 1049}));
  // A folder is no file at all: passed over without a word, as before.
  EXPECT_EQ(Skipped(), expected);
  if (sparse)
    std::printf("no sparse file here (%s): the huge file is left out\n", sparse.message().c_str());
}

TEST_F(RefusedLangFileTest, AChosenFileThatTurnedIntoNoLanguageFileFailsTheSwitch) {
  const std::string file = Put("ru.lng", LangFile(1049, "Stop_proxy=Stop it\r\n"));
  ASSERT_TRUE(manager_.RegisterLangFile(file));
  auto replace = [&](const std::function<void()>& make) {
    ASSERT_TRUE(platform::DeleteFileAt(file) || std::filesystem::remove(file));
    make();
  };
  auto switch_error = [&] {
    try {
      manager_.SetLanguageID(1049);
    } catch (const ELangFileRefused& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };

  Padded("ru.lng", 1049, kMaxLangFileSize + 1);
  EXPECT_EQ(switch_error(), TooLarge("ru.lng"));
  replace([&] { ASSERT_TRUE(platform::ForceDirectories(file)); });
  EXPECT_EQ(switch_error(), NotRegular("ru.lng"));
#ifndef _WIN32
  replace([&] { ASSERT_EQ(std::system(("mkfifo '" + file + "'").c_str()), 0); });
  EXPECT_EQ(switch_error(), NotRegular("ru.lng"));
  replace([&] { std::filesystem::create_symlink("/dev/zero", file); });
  EXPECT_EQ(switch_error(), NotRegular("ru.lng"));
#endif
  EXPECT_EQ(manager_.LanguageID(), 1033);
  EXPECT_EQ(Text("Stop_proxy"), "Stop proxy");

  // Back to a language file, the switch goes through.
  replace([&] { Put("ru.lng", LangFile(1049, "Stop_proxy=Stop it\r\n")); });
  manager_.SetLanguageID(1049);
  EXPECT_EQ(Text("Stop_proxy"), "Stop it");
  EXPECT_TRUE(Skipped().empty()) << "a failed switch raises; it is no skipped file";
}

TEST(CatalogueTextTest, FormatsTheCurrentLanguage) {
  TempFolder folder;
  EXPECT_EQ(CatalogueText("Starting_proxy", {42}), "Starting proxy: 42%");
  EXPECT_EQ(CatalogueText("Dont_show_me_again"), "Don''t show me again");
  EXPECT_THROW(CatalogueText("Missing_key"), EDKLangError);

  WriteFileForTest(folder / "ru.lng", LangFile(1049,
                                               "Starting_proxy=Запуск прокси: %s\r\n"
                                               "Stop_proxy=100%\r\n"));
  ASSERT_TRUE(LangManager().RegisterLangFile(folder / "ru.lng"));
  LangManager().SetLanguageID(1049);
  EXPECT_THROW(CatalogueText("Starting_proxy", {42}), EFormatError);
  EXPECT_THROW(CatalogueText("Stop_proxy"), EFormatError);
  EXPECT_EQ(CatalogueText("Start_proxy"), "Start proxy");
  LangManager().SetLanguageID(1033);
  EXPECT_EQ(CatalogueText("Starting_proxy", {42}), "Starting proxy: 42%");
}

TEST(CatalogueTextTest, SampleTranslationInUse) {
  ASSERT_TRUE(LangManager().RegisterLangFile(SampleTranslationPath()));
  LangManager().SetLanguageID(1049);
  EXPECT_EQ(CatalogueText("Starting_proxy", {42}), "Запуск прокси: 42%");
  const std::string question = CatalogueText("Browser_windows_are_opened", {"Nimbra", "Nimbra"});
  EXPECT_NE(question.find("закрывать Nimbra,"), std::string::npos) << question;
  EXPECT_EQ(question.find("%s"), std::string::npos) << question;
  LangManager().SetLanguageID(1033);
}

}  // namespace
