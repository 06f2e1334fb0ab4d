// The proxy journal against real files and the registry (Wine's on Windows,
// the stand-in natively), in private folders: what Plan and the observer
// report, that a journal puts every setting back byte for byte, that what
// changed since stays, that hostile journals are refused whole, and what
// the uninstaller's switch-off leaves alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "activators/ProxyActivators.h"
#include "activators/ProxyJournal.h"
#include "activators/Registryx86x64.h"
#include "activators/TextFiles.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "platform/BrowserFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using platform::BrowserFolder;
using platform::RegRoot;
using platform::RegType;
using platform::RegValue;
using test_support::ReadFileOrMissing;

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char kEndpoint[] = "127.0.0.1:35489";

std::string Join(std::string folder, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) folder = platform::IncludeTrailingDelimiter(folder) + part;
  return folder;
}

// Text as the activators write it here: CR LF after every line on Windows,
// the file's own line end (LF in these tests) elsewhere.
std::string Native(const std::string& lf_text) {
  if (platform::kPathDelim != '\\') return lf_text;
  std::string out;
  for (const char c : lf_text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// A registry value as the tests compare it: "absent", or its type and data.
std::string Show(bool exists, const RegValue& value) {
  if (!exists) return "absent";
  return std::to_string(static_cast<int>(value.type)) + ":" + value.text + ":" +
         std::to_string(value.dword) + ":" + value.bytes;
}

class ProxyJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::OverrideHomeFolder(system_.Root() / "Home");
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    platform::RegKey key;
    ASSERT_EQ(key.Create(RegRoot::CurrentUser, kInternetSettings,
                         platform::kKeyRead | platform::kKeyWrite),
              0u);
    // Wine's prefix has the key already: its values go back afterwards.
    for (const char* name : {"ProxyEnable", "ProxyServer"}) {
      RegValue value;
      saved_.push_back({name, key.Query(name, value) == 0, value});
    }
    journal_ = DataFolder() + kProxyJournalName;
  }

  void TearDown() override {
    SetTextFileWriteHookForTesting({});
    platform::SetRegistryWriteHookForTesting({});
    platform::OverrideHomeFolder("");
    RegistryView = 0;
    platform::RegKey key;
    if (key.Open(RegRoot::CurrentUser, kInternetSettings,
                 platform::kKeyRead | platform::kKeyWrite) == 0) {
      for (const TRegistryValueBefore& value : saved_) {
        key.DeleteValue(value.Name);
        if (value.Existed) key.SetValue(value.Name, value.Value);
      }
    }
    InitLog(false);
  }

  static void SetValue(const std::string& name, const RegValue* value) {
    platform::RegKey key;
    ASSERT_EQ(
        key.Open(RegRoot::CurrentUser, kInternetSettings, platform::kKeyRead | platform::kKeyWrite),
        0u);
    key.DeleteValue(name);
    if (value != nullptr) {
      ASSERT_EQ(key.SetValue(name, *value), 0u);
    }
  }
  static RegValue Text(const std::string& text, RegType type = RegType::String) {
    RegValue value;
    value.type = type;
    value.text = text;
    return value;
  }
  static RegValue DWord(std::uint32_t number) {
    RegValue value;
    value.type = RegType::DWord;
    value.dword = number;
    return value;
  }
  static std::string Value(const std::string& name) {
    platform::RegKey key;
    EXPECT_EQ(key.Open(RegRoot::CurrentUser, kInternetSettings, platform::kKeyRead), 0u);
    RegValue value;
    const bool exists = key.Query(name, value) == 0;
    return Show(exists, value);
  }

  static std::string OperaFile(const std::vector<std::string>& parts) {
    return Join(platform::GetBrowserFolder(BrowserFolder::OperaSearchRoot), parts);
  }
  static std::string ProfileFile(const std::string& profile) {
    return Join(platform::GetBrowserFolder(BrowserFolder::FirefoxProfiles), {profile, "prefs.js"});
  }
  static void Write(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(platform::ForceDirectories(platform::ExtractFilePath(path))) << path;
    test_support::WriteFileForTest(path, bytes);
  }
  bool LogHas(const std::string& text) const {
    return ReadFileOrMissing(LogFileName()).find(text) != std::string::npos;
  }

  // Every file the tests wrote, with its bytes.
  std::vector<std::pair<std::string, std::string>> Snapshot(const std::vector<std::string>& files) {
    std::vector<std::pair<std::string, std::string>> snapshot;
    for (const std::string& file : files) snapshot.emplace_back(file, ReadFileOrMissing(file));
    snapshot.emplace_back("ProxyEnable", Value("ProxyEnable"));
    snapshot.emplace_back("ProxyServer", Value("ProxyServer"));
    return snapshot;
  }

  test_support::IsolatedSystem system_;
  std::vector<TRegistryValueBefore> saved_;
  std::string journal_;
};

// What the observer saw, checked against the target still being untouched.
class RecordingObserver : public TActivationObserver {
 public:
  std::function<bool()> SystemUntouched;
  std::function<bool(const std::string&)> FileUntouched;
  std::string ThrowAt;
  TActivationChanges Seen;
  bool AllBeforeTheirWrite = true;

  void BeforeChange(const TSystemProxyChange& Change) override {
    AllBeforeTheirWrite = AllBeforeTheirWrite && SystemUntouched();
    Seen.System = Change;
  }
  void BeforeChange(const TFileChange& Change) override {
    AllBeforeTheirWrite = AllBeforeTheirWrite && FileUntouched(Change.Path);
    if (Change.Path == ThrowAt) throw std::runtime_error("journal full");
    Seen.Files.push_back(Change);
  }
};

TEST_F(ProxyJournalTest, PlanChangesNothingAndTheObserverHearsOfEachChangeBeforeIt) {
  SetValue("ProxyEnable", nullptr);
  const RegValue corp = Text("corp-proxy.example:8080");
  SetValue("ProxyServer", &corp);
  const std::string opera = OperaFile({"Opera", "opera6.ini"});
  const std::string unchanged = OperaFile({"Other", "opera6.ini"});
  const std::string prefs = ProfileFile("a.default");
  Write(opera, "[Proxy]\r\nUse HTTP=0\r\nHTTP server=corp-proxy.example:8080\r\n");
  // Already what Activate writes: no change, so nothing to report.
  Write(unchanged,
        "[Proxy]\nUse HTTP=1\nHTTP server=127.0.0.1:35489\nUse HTTPS=1\n"
        "HTTPS server=127.0.0.1:35489\nUse Automatic Proxy Configuration=0\n");
  Write(prefs,
        "user_pref(\"a\", 1);\nuser_pref(\"network.proxy.type\", 1);\n"
        "user_pref(\"network.proxy.http\", \"corp\");\nuser_pref(\"network.proxy.type\", 4);\n");
  const std::vector<std::string> files = {opera, unchanged, prefs};
  const auto before = Snapshot(files);
  const std::string server_before = Value("ProxyServer");
  const std::string unchanged_text = ReadFileOrMissing(unchanged);

  TMainActivator main;
  const TActivationChanges plan = main.Plan();
  EXPECT_EQ(Snapshot(files), before) << "planning changed something";
  ASSERT_TRUE(plan.System);
  ASSERT_EQ(plan.System->Before.size(), 2u);
  EXPECT_FALSE(plan.System->Before[0].Existed) << "ProxyEnable was missing";
  EXPECT_EQ(plan.System->Before[1].Value.text, "corp-proxy.example:8080");
  EXPECT_EQ(plan.System->WrittenServer, kEndpoint);
  ASSERT_EQ(plan.Files.size(), 2u) << "the file Activate leaves as it is is not named";
  EXPECT_EQ(plan.Files[0].Path, opera);
  EXPECT_TRUE(plan.Files[0].HasOriginal);
  ASSERT_EQ(plan.Files[0].Keys.size(), 5u);
  EXPECT_EQ(plan.Files[0].Keys[1].Line, "HTTP server=corp-proxy.example:8080");
  EXPECT_FALSE(plan.Files[0].Keys[2].Existed);
  EXPECT_FALSE(plan.Files[0].SectionAdded);
  EXPECT_EQ(plan.Files[1].Path, prefs);
  // Every proxy line that goes, the second type line too, in file order.
  ASSERT_EQ(plan.Files[1].Removed.size(), 3u);
  EXPECT_EQ(plan.Files[1].Removed[0].Preference, 0u);
  EXPECT_EQ(plan.Files[1].Removed[1].Text, "user_pref(\"network.proxy.http\", \"corp\");");
  EXPECT_EQ(plan.Files[1].Removed[2].Text, "user_pref(\"network.proxy.type\", 4);");
  EXPECT_EQ(plan.Files[1].Appended.size(), 8u);

  RecordingObserver observer;
  observer.SystemUntouched = [&] { return Value("ProxyServer") == server_before; };
  observer.FileUntouched = [&](const std::string& path) {
    for (const auto& [file, bytes] : before)
      if (file == path) return ReadFileOrMissing(path) == bytes;
    return false;
  };
  main.SetObserver(&observer);
  main.Activate();
  EXPECT_TRUE(observer.AllBeforeTheirWrite);
  EXPECT_EQ(observer.Seen, plan) << "what was reported is what was planned";
  EXPECT_EQ(ReadFileOrMissing(unchanged), unchanged_text);

  // An observer that refuses stops the activation before that change.
  Write(opera, "[Proxy]\r\nUse HTTP=0\r\n");
  Write(prefs, "user_pref(\"network.proxy.type\", 4);\n");
  RecordingObserver refusing;
  refusing.SystemUntouched = [] { return true; };
  refusing.FileUntouched = [](const std::string&) { return true; };
  refusing.ThrowAt = prefs;
  main.SetObserver(&refusing);
  EXPECT_THROW(main.Activate(), std::runtime_error);
  EXPECT_EQ(ReadFileOrMissing(prefs), "user_pref(\"network.proxy.type\", 4);\n");
  EXPECT_NE(ReadFileOrMissing(opera).find(kEndpoint), std::string::npos);
  main.SetObserver(nullptr);
}

TEST_F(ProxyJournalTest, AJournalPutsEverySettingBackByteForByteFromAnotherProcess) {
  // The system proxy: one value missing, the other of an unusual type.
  SetValue("ProxyEnable", nullptr);
  const RegValue expand = Text("%CORP%:8080", RegType::ExpandString);
  SetValue("ProxyServer", &expand);
  const std::vector<std::string> files = {
      OperaFile({"Opera", "opera6.ini"}), OperaFile({"Opera", "Other", "opera6.ini"}),
      ProfileFile("lf"), ProfileFile("bom"), ProfileFile("utf16")};
  // No Proxy section, LF ends, no end after the last line.
  Write(files[0], "Opera Preferences version 2.0\n\n[User Prefs]\nLanguage=en");
  // The keys in odd forms, a comment, CR LF.
  Write(files[1],
        "[Proxy]\r\n  Use HTTP = 0 \r\n; mine\r\nHTTP server=\"corp:1\"\r\n\r\n[A]\r\nb=c\r\n");
  Write(files[2],
        "// header\nuser_pref(\"network.proxy.type\", 1);\nuser_pref(\"z\", 1);\n"
        "user_pref(\"network.proxy.http\", \"corp\");\nuser_pref(\"network.proxy.http\", \"dup\");"
        "\nuser_pref(\"network.proxy.http_port\", 8080);");
  Write(files[3],
        "\xEF\xBB\xBFuser_pref(\"network.proxy.socks\", \"10.0.0.3\");\r\nuser_pref(\"\xC3\xA9\", "
        "1);\r\n");
  Write(files[4], "\xFF\xFE" + Utf16Le("user_pref(\"a\", 1);\r\n"));
  const auto before = Snapshot(files);

  TMainActivator activator;
  const TActivationChanges plan = activator.Plan();
  activator.Activate();
  EXPECT_EQ(Value("ProxyServer"), Show(true, Text(kEndpoint)));
  for (std::size_t i = 0; i < files.size(); ++i)
    EXPECT_NE(ReadFileOrMissing(files[i]), before[i].second) << files[i];
  WriteProxyJournal(journal_, plan);

  // As a new process does it: from the file alone.
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Restored);
  EXPECT_EQ(Snapshot(files), before);
  EXPECT_FALSE(platform::FileExists(journal_));
  EXPECT_TRUE(LogHas(files[0] + ": put back as it was"));
  EXPECT_TRUE(LogHas("ProxyEnable removed, as it was missing before"));
  // A second run finds nothing to do.
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::NoJournal);
}

TEST_F(ProxyJournalTest, WhatChangedSinceStaysAndOnlyTheJournalsLinesGoBack) {
  const RegValue corp = Text("corp-proxy.example:8080");
  const RegValue off = DWord(0);
  SetValue("ProxyEnable", &off);
  SetValue("ProxyServer", &corp);
  const std::string opera = OperaFile({"opera6.ini"});
  const std::string prefs = ProfileFile("p");
  Write(opera, "[Proxy]\nUse HTTP=1\nHTTP server=corp:3128\n");
  Write(prefs,
        "user_pref(\"a\", 1);\nuser_pref(\"network.proxy.type\", 1);\n"
        "user_pref(\"network.proxy.http\", \"corp\");\nuser_pref(\"network.proxy.http_port\", "
        "3128);\n");
  TMainActivator activator;
  const TActivationChanges plan = activator.Plan();
  activator.Activate();

  // Since then: the user set another server by hand; the browsers wrote
  // their files again, in an order of their own, with a new line each, and
  // Firefox keeps one of ours, the user changed the SSL host.
  const RegValue mine = Text("10.9.9.9:1");
  SetValue("ProxyServer", &mine);
  Write(opera,
        "[User Prefs]\nLanguage=de\n\n[Proxy]\nUse HTTP=1\nHTTP server=127.0.0.1:35489\n"
        "Use HTTPS=1\nHTTPS server=10.1.1.1:1\nUse Automatic Proxy Configuration=0\n");
  Write(prefs,
        "user_pref(\"a\", 1);\nuser_pref(\"b\", 2);\nuser_pref(\"network.proxy.http\", "
        "\"127.0.0.1\");\n"
        "user_pref(\"network.proxy.http_port\", 35489);\nuser_pref(\"network.proxy.ssl\", "
        "\"10.1.1.1\");\n"
        "user_pref(\"network.proxy.type\", 1);\n");

  EXPECT_TRUE(RestoreActivation(plan).Empty());
  EXPECT_EQ(Value("ProxyEnable"), Show(true, off));
  EXPECT_EQ(Value("ProxyServer"), Show(true, mine)) << "changed since: stays";
  EXPECT_TRUE(LogHas("ProxyServer was changed since; left as it is"));
  // Opera: its own keys back, the HTTPS server the user set stays, and
  // the key that was missing is gone again.
  EXPECT_EQ(ReadFileOrMissing(opera),
            Native("[User Prefs]\nLanguage=de\n\n[Proxy]\nUse HTTP=1\nHTTP server=corp:3128\n"
                   "HTTPS server=10.1.1.1:1\n"));
  // Firefox: the original lines where ours were; the user's ssl line and
  // the browser's new line stay; nothing the journal does not hold appears.
  EXPECT_EQ(ReadFileOrMissing(prefs), Native("user_pref(\"a\", 1);\nuser_pref(\"b\", 2);\n"
                                             "user_pref(\"network.proxy.http\", \"corp\");\n"
                                             "user_pref(\"network.proxy.http_port\", 3128);\n"
                                             "user_pref(\"network.proxy.ssl\", \"10.1.1.1\");\n"
                                             "user_pref(\"network.proxy.type\", 1);\n"));
}

TEST_F(ProxyJournalTest, HostileJournalsAreRefusedWholeAndSetAside) {
  const std::string prefs = ProfileFile("p");
  const std::string original = "user_pref(\"network.proxy.http\", \"corp\");\n";
  Write(prefs, original);
  TMainActivator activator;
  TActivationChanges plan = activator.Plan();
  activator.Activate();
  const std::string activated = ReadFileOrMissing(prefs);
  const std::string good = EncodeProxyJournal(plan);
  TActivationChanges decoded;
  std::string reason;
  ASSERT_TRUE(DecodeProxyJournal(good, decoded, reason)) << reason;
  EXPECT_EQ(decoded, plan);

  auto refused = [&](const std::string& text) {
    TActivationChanges out;
    std::string why;
    const bool ok = DecodeProxyJournal(text, out, why);
    EXPECT_TRUE(out.Empty()) << "nothing of a refused journal is handed out";
    return ok ? std::string("accepted") : why;
  };
  std::string flipped = good;
  flipped[good.size() / 2] ^= 1;
  EXPECT_NE(refused(flipped).find("check line"), std::string::npos);
  EXPECT_NE(refused(good.substr(0, good.size() - 10)).find("cut short"), std::string::npos);
  EXPECT_NE(refused("").find("cut short"), std::string::npos);
  EXPECT_NE(refused(std::string(1000, '\n')).find("check line"), std::string::npos);

  // Well formed and checked, but asking for what a journal never holds.
  TActivationChanges sneaky = plan;
  sneaky.Files[0].Removed.push_back({1, "user_pref(\"browser.startup.homepage\", \"http://x/\");"});
  EXPECT_NE(refused(EncodeProxyJournal(sneaky)).find("not a line of proxy preference 1"),
            std::string::npos);
  sneaky = plan;
  sneaky.Files[0].Path = platform::ExtractFilePath(prefs) + "user.js";
  EXPECT_NE(refused(EncodeProxyJournal(sneaky)).find("not a settings file"), std::string::npos);
  sneaky = plan;
  sneaky.Files[0].Appended.pop_back();
  EXPECT_NE(refused(EncodeProxyJournal(sneaky)).find("eight lines"), std::string::npos);
  TActivationChanges opera;
  TFileChange ini;
  ini.Kind = TSettingsFileKind::Opera;
  ini.Path = OperaFile({"opera6.ini"});
  for (const char* name : {"HTTP server", "Use HTTP", "Use HTTPS", "HTTPS server",
                           "Use Automatic Proxy Configuration"}) {
    ini.Keys.push_back({name, false, "", "1"});
  }
  opera.Files.push_back(ini);
  EXPECT_NE(refused(EncodeProxyJournal(opera)).find("not the next proxy key"), std::string::npos);
  std::swap(opera.Files[0].Keys[0], opera.Files[0].Keys[1]);
  opera.Files[0].Keys[0] = {"Use HTTP", true, "HTTP server=10.6.6.6:1", "1"};
  EXPECT_NE(refused(EncodeProxyJournal(opera)).find("a line of another key"), std::string::npos);

  // A damaged journal on disk: set aside, nothing applied.
  Write(journal_, flipped);
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Refused);
  EXPECT_FALSE(platform::FileExists(journal_));
  EXPECT_EQ(ReadFileOrMissing(prefs), activated);
  bool aside = false;
  for (const auto& entry : fs::directory_iterator(fs::path(DataFolder()))) {
    aside = aside || (entry.path().filename().string().rfind("ProxyJournal.dat.refused-", 0) == 0 &&
                      ReadFileOrMissing(entry.path().string()) == flipped);
  }
  EXPECT_TRUE(aside);
  EXPECT_TRUE(LogHas("Refused the proxy journal"));

  // Too large to be read at all (a sparse file: nothing is written).
  Write(journal_, good);
  fs::resize_file(fs::path(journal_), kMaxProxyJournalSize + 1);
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Refused);
  EXPECT_TRUE(LogHas("larger than"));
  EXPECT_EQ(ReadFileOrMissing(prefs), activated);

  // A folder where the journal belongs.
  ASSERT_TRUE(platform::ForceDirectories(journal_));
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Refused);

  // A sound journal naming a file that is not among this user's own:
  // that file is left alone.
  const std::string elsewhere = system_.Root() / "elsewhere" + platform::kPathDelim + "prefs.js";
  Write(elsewhere, activated);
  sneaky = plan;
  sneaky.Files[0].Path = elsewhere;
  EXPECT_TRUE(RestoreActivation(sneaky).Empty());
  EXPECT_EQ(ReadFileOrMissing(elsewhere), activated);
  EXPECT_TRUE(LogHas(elsewhere + ": not among this user's settings files now; left alone"));

  // The real journal still works.
  EXPECT_TRUE(RestoreActivation(plan).Empty());
  EXPECT_EQ(ReadFileOrMissing(prefs), original);
}

TEST_F(ProxyJournalTest, WhatCannotBePutBackStaysInTheJournalForTheNextTry) {
  const std::string opera = OperaFile({"opera6.ini"});
  const std::string prefs = ProfileFile("p");
  Write(opera, "[Proxy]\nUse HTTP=0\n");
  Write(prefs, "user_pref(\"network.proxy.type\", 2);\n");
  TMainActivator activator;
  const TActivationChanges plan = activator.Plan();
  activator.Activate();
  WriteProxyJournal(journal_, plan);

  SetTextFileWriteHookForTesting(
      [prefs](const std::string& name) { return name == prefs ? 13u /* EACCES */ : 0u; });
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Incomplete);
  EXPECT_EQ(ReadFileOrMissing(opera), "[Proxy]\nUse HTTP=0\n");
  TActivationChanges left;
  std::string reason;
  ASSERT_EQ(ReadProxyJournal(journal_, left, reason), TJournalRead::Read) << reason;
  ASSERT_EQ(left.Files.size(), 1u);
  EXPECT_EQ(left.Files[0].Path, prefs);
  EXPECT_FALSE(left.System) << "what went back is not named again";

  SetTextFileWriteHookForTesting({});
  EXPECT_EQ(RecoverFromProxyJournal(journal_), TRecovery::Restored);
  EXPECT_EQ(ReadFileOrMissing(prefs), "user_pref(\"network.proxy.type\", 2);\n");
  EXPECT_FALSE(platform::FileExists(journal_));
}

TEST_F(ProxyJournalTest, FieldsOfAnyBytesGoThroughTheJournalUnchanged) {
  TActivationChanges changes;
  TSystemProxyChange system;
  system.View64 = true;
  RegValue binary;
  binary.type = RegType::Binary;
  binary.bytes = std::string("\0 -%\n\xFF", 6);
  system.Before = {{"ProxyEnable", true, binary}, {"ProxyServer", true, Text("")}};
  system.WrittenServer = kEndpoint;
  changes.System = system;
  TFileChange file;
  file.Kind = TSettingsFileKind::Opera;
  file.Path =
      std::string("a b") + platform::kPathDelim + "%41-" + platform::kPathDelim + "opera6.ini";
  file.HasOriginal = true;
  file.Original = std::string("-", 1);
  file.SectionAdded = true;
  for (const char* key : {"Use HTTP", "HTTP server", "Use HTTPS", "HTTPS server",
                          "Use Automatic Proxy Configuration"}) {
    file.Keys.push_back({key, false, "", "-"});
  }
  file.Keys[1] = {"HTTP server", true, "HTTP server = %20 x", " "};
  changes.Files.push_back(file);
  file.HasOriginal = true;
  file.Original = "";
  changes.Files.push_back(file);
  TActivationChanges back;
  std::string reason;
  ASSERT_TRUE(DecodeProxyJournal(EncodeProxyJournal(changes), back, reason)) << reason;
  EXPECT_EQ(back, changes);
  EXPECT_EQ(EncodeProxyJournal(changes).find('\0'), std::string::npos);
}

TEST_F(ProxyJournalTest, TheUninstallSwitchesOffOnlyWhatPointsAtTheEndpoint) {
  const RegValue corp = Text("corp-proxy.example:8080");
  const RegValue on = DWord(1);
  SetValue("ProxyEnable", &on);
  SetValue("ProxyServer", &corp);
  const std::string opera_ours = OperaFile({"A", "opera6.ini"});
  const std::string opera_corp = OperaFile({"B", "opera6.ini"});
  const std::string prefs_ours = ProfileFile("ours");
  const std::string prefs_corp = ProfileFile("corp");
  const std::string corp_ini = "[Proxy]\nUse HTTP=1\nHTTP server=corp-proxy.example:8080\n";
  const std::string corp_prefs =
      "user_pref(\"network.proxy.http\", \"corp-proxy.example\");\n"
      "user_pref(\"network.proxy.http_port\", 8080);\nuser_pref(\"network.proxy.type\", 1);\n";
  Write(opera_ours, "[Proxy]\nUse HTTP=1\nHTTP server=127.0.0.1:35489\n");
  Write(opera_corp, corp_ini);
  Write(prefs_ours,
        "user_pref(\"a\", 1);\nuser_pref(\"network.proxy.ssl\", \"127.0.0.1\");\n"
        "user_pref(\"network.proxy.ssl_port\", 35489);\nuser_pref(\"network.proxy.type\", 1);\n");
  Write(prefs_corp, corp_prefs);

  TMainActivator().DeactivateWherePointingAtEndpoint();
  EXPECT_EQ(Value("ProxyEnable"), Show(true, on));
  EXPECT_EQ(Value("ProxyServer"), Show(true, corp));
  EXPECT_EQ(ReadFileOrMissing(opera_corp), corp_ini);
  EXPECT_EQ(ReadFileOrMissing(prefs_corp), corp_prefs);
  EXPECT_EQ(ReadFileOrMissing(prefs_ours), Native("user_pref(\"a\", 1);\n"));
  EXPECT_NE(ReadFileOrMissing(opera_ours).find(Native("Use HTTP=0\nHTTP server=\n")),
            std::string::npos);

  // The endpoint among other schemes' proxies: off as well.
  const RegValue mixed = Text("ftp=corp:21; http=127.0.0.1:35489");
  SetValue("ProxyServer", &mixed);
  TMainActivator().DeactivateWherePointingAtEndpoint();
  EXPECT_EQ(Value("ProxyEnable"), Show(true, DWord(0)));
  EXPECT_EQ(Value("ProxyServer"), Show(true, Text("")));
}

}  // namespace
