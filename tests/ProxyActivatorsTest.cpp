// The browser activators against real files and the registry (Wine's on
// Windows, the stand-in natively), in private folders: what each browser's
// settings hold after Activate and after Deactivate, and what stops the
// fan-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "activators/MasksUtils.h"
#include "activators/ProfileIni.h"
#include "activators/ProxyActivators.h"
#include "activators/Registryx86x64.h"
#include "activators/TextFiles.h"
#include "platform/BrowserFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using platform::BrowserFolder;
using platform::kPathDelim;
using platform::RegRoot;
using test_support::ReadFileOrMissing;

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string Join(std::string folder, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) folder = platform::IncludeTrailingDelimiter(folder) + part;
  return folder;
}

// Ends every line with CR LF, as the activators write them.
// Windows writes CR LF after every line; natively a file keeps its own
// line end, so an expectation written with CR LF reads with `end` instead.
std::string OwnEnd(const std::string& crlf_text, const std::string& end) {
  if (platform::kPathDelim == '\\') return crlf_text;
  std::string out;
  for (std::size_t i = 0; i < crlf_text.size(); ++i) {
    if (crlf_text.compare(i, 2, "\r\n") == 0) {
      out += end;
      ++i;
    } else {
      out += crlf_text[i];
    }
  }
  return out;
}

std::string CrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

const std::vector<std::string> kActivateLines = {
    R"(user_pref("network.proxy.type", 1);)",
    R"(user_pref("network.proxy.http", "127.0.0.1");)",
    R"(user_pref("network.proxy.http_port", 35489);)",
    R"(user_pref("network.proxy.ssl", "127.0.0.1");)",
    R"(user_pref("network.proxy.ssl_port", 35489);)",
    R"(user_pref("network.proxy.socks", "127.0.0.1");)",
    R"(user_pref("network.proxy.socks_port", 35491);)",
    R"(user_pref("network.proxy.socks_remote_dns", true);)",
};

std::vector<std::string> Plus(std::vector<std::string> lines,
                              const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

class ProxyActivatorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::OverrideHomeFolder(system_.Root() / "Home");
    platform::RegKey key;
    ASSERT_EQ(key.Create(RegRoot::CurrentUser, kInternetSettings,
                         platform::kKeyRead | platform::kKeyWrite),
              0u);
    // Wine's prefix has the key already: put its values back afterwards.
    had_enable_ = key.Query("ProxyEnable", old_enable_) == 0;
    had_server_ = key.Query("ProxyServer", old_server_) == 0;
  }

  void TearDown() override {
    platform::SetRegistryWriteHookForTesting({});
    SetTextFileWriteHookForTesting({});
    platform::OverrideHomeFolder("");
    RegistryView = 0;
    platform::RegKey key;
    if (key.Open(RegRoot::CurrentUser, kInternetSettings,
                 platform::kKeyRead | platform::kKeyWrite) == 0) {
      key.DeleteValue("ProxyEnable");
      key.DeleteValue("ProxyServer");
      if (had_enable_) key.SetDWord("ProxyEnable", old_enable_.dword);
      if (had_server_) key.SetString("ProxyServer", old_server_.text);
    }
  }

  static void SetSystemProxy(std::uint32_t enable, const std::string* server) {
    platform::RegKey key;
    ASSERT_EQ(
        key.Open(RegRoot::CurrentUser, kInternetSettings, platform::kKeyRead | platform::kKeyWrite),
        0u);
    ASSERT_EQ(key.SetDWord("ProxyEnable", enable), 0u);
    key.DeleteValue("ProxyServer");
    if (server != nullptr) {
      ASSERT_EQ(key.SetString("ProxyServer", *server), 0u);
    }
  }

  static std::pair<std::int32_t, std::string> SystemProxy() {
    std::int32_t enable = -7;
    std::string server = "<unread>";
    EXPECT_TRUE(
        ReadRegistryInteger(RegRoot::CurrentUser, kInternetSettings, "ProxyEnable", enable));
    EXPECT_TRUE(ReadRegistryString(RegRoot::CurrentUser, kInternetSettings, "ProxyServer", server));
    return {enable, server};
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

  // Makes saves of the file fail: for real on Windows (read-only), through
  // the seam natively, where root may write anything.
  static void MakeUnwritable(const std::string& path) {
#ifdef _WIN32
    fs::permissions(fs::path(path),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#else
    SetTextFileWriteHookForTesting(
        [path](const std::string& name) { return name == path ? 30u /* EROFS */ : 0u; });
#endif
  }

  test_support::IsolatedSystem system_;
  bool had_enable_ = false;
  bool had_server_ = false;
  platform::RegValue old_enable_;
  platform::RegValue old_server_;
};

class FindFilesProbe : public TBrowserActivator {
 public:
  using TBrowserActivator::FindFiles;
  void Activate(const std::string&, const std::string&, const std::string&,
                const std::string&) override {}
  void Deactivate() override {}
};

TEST_F(ProxyActivatorsTest, FindFilesLooksDepthLevelsDownAndSkipsDotNames) {
  const std::string root = system_.Root() / "tree";
  for (const auto& parts : std::vector<std::vector<std::string>>{
           {"prefs.js"},
           {"a", "prefs.js"},
           {"a", "b", "prefs.js"},
           {"a", "b", "c", "prefs.js"},
           {".hidden", "prefs.js"},
           {"a", ".prefs.js"},
           {"a", "Prefs.js"},
       }) {
    Write(Join(root, parts), "x");
  }
  std::vector<std::string> found;
  FindFilesProbe::FindFiles(root, "prefs.js", found, 0);
  EXPECT_TRUE(found.empty());
  FindFilesProbe::FindFiles(root, "prefs.js", found, 1);
  EXPECT_EQ(found, std::vector<std::string>{Join(root, {"prefs.js"})});
  found.clear();
  FindFilesProbe::FindFiles(root + kPathDelim, "prefs.js", found, 3);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found,
            (std::vector<std::string>{Join(root, {"a", "b", "prefs.js"}),
                                      Join(root, {"a", "prefs.js"}), Join(root, {"prefs.js"})}));
  found.clear();
  FindFilesProbe::FindFiles(root + kPathDelim + "missing", "*", found, 3);
  EXPECT_TRUE(found.empty());
}

TEST(MasksUtilsTest, PlainNamesCompareExactlyAndWildcardsMatchRuns) {
  EXPECT_TRUE(NameMatchesMask("opera6.ini", "opera6.ini"));
  EXPECT_FALSE(NameMatchesMask("Opera6.ini", "opera6.ini"));
  EXPECT_FALSE(NameMatchesMask("opera6.ini.bak", "opera6.ini"));
  EXPECT_FALSE(NameMatchesMask("prefs.j", "prefs.js"));
  EXPECT_TRUE(NameMatchesMask("prefs.js", "*.js"));
  EXPECT_TRUE(NameMatchesMask("prefs.js", "*"));
  EXPECT_TRUE(NameMatchesMask("", "*"));
  EXPECT_TRUE(NameMatchesMask("opera6.ini", "opera?.ini"));
  EXPECT_FALSE(NameMatchesMask("opera.ini", "opera?.ini"));
  EXPECT_TRUE(NameMatchesMask("\xC3\xA9t\xC3\xA9.ini", "?t?.ini"));
  EXPECT_TRUE(NameMatchesMask("abcbcd", "a*bcd"));
  EXPECT_FALSE(NameMatchesMask("abcbce", "a*b*d"));
  EXPECT_FALSE(NameMatchesMask(std::string(200, 'a'), std::string(30, '*') + "b*"));
}

TEST_F(ProxyActivatorsTest, SystemProxyComesBackExactlyAndAFreshActivatorSwitchesItOff) {
  const std::string own = "http=10.0.0.1:3128;https=10.0.0.2:443;socks=10.0.0.3:1080";
  SetSystemProxy(0, &own);
  TIEActivator ie;
  ie.Activate("127.0.0.1", "35489", "", "");
  EXPECT_EQ(SystemProxy(), std::make_pair(1, std::string("127.0.0.1:35489")));
  ie.Deactivate();
  EXPECT_EQ(SystemProxy(), std::make_pair(0, own));

  // No server value before: an empty one after.
  SetSystemProxy(1, nullptr);
  TIEActivator second;
  second.Activate("127.0.0.1", "35489", "", "");
  second.Deactivate();
  EXPECT_EQ(SystemProxy(), std::make_pair(1, std::string()));

  SetSystemProxy(1, &own);
  TIEActivator fresh;
  fresh.Deactivate();
  EXPECT_EQ(SystemProxy(), std::make_pair(0, std::string()));
}

#ifndef _WIN32
TEST_F(ProxyActivatorsTest, AMissingInternetSettingsKeyIsLeftAlone) {
  ASSERT_EQ(platform::RegDeleteKeyTree(RegRoot::CurrentUser, kInternetSettings, 0), 0u);
  TIEActivator ie;
  ie.Activate("127.0.0.1", "35489", "", "");
  ie.Deactivate();
  EXPECT_FALSE(RegistryKeyExists(RegRoot::CurrentUser, kInternetSettings));
}
#endif

TEST_F(ProxyActivatorsTest, OperaGetsTheLocalProxyAndItsOwnValuesBack) {
  const std::string ini = OperaFile({"Opera", "Opera", "profile", "opera6.ini"});
  const std::string header = "Opera Preferences version 2.0\r\n\r\n";
  Write(ini,
        header + CrLf({"[Proxy]", "Use HTTP=0", "HTTP server=10.0.0.1:3128",
                       "Use Automatic Proxy Configuration=1", "", "[User Prefs]", "Language=en"}));
  const std::string bare = OperaFile({"opera6.ini"});
  Write(bare, "[User Prefs]\nLanguage=de\n");
  // Neither is found: the name differs in case; the other lies too deep.
  const std::string capital = OperaFile({"Other", "Opera6.ini"});
  const std::string too_deep = OperaFile({"a", "b", "c", "d", "opera6.ini"});
  const std::string untouched = "[Proxy]\r\nUse HTTP=0\r\n";
  Write(capital, untouched);
  Write(too_deep, untouched);

  // The file is replaced by a new one, never rewritten in place: a link to
  // the old file keeps the old text whole.
  const std::string old_text = ReadFileOrMissing(ini);
  fs::create_hard_link(fs::path(ini), fs::path(ini + ".old"));

  TOperaActivator opera;
  opera.Activate("127.0.0.1", "35489", "", "");
  EXPECT_EQ(ReadFileOrMissing(ini + ".old"), old_text);
  EXPECT_EQ(ReadFileOrMissing(ini),
            header + CrLf({"[Proxy]", "Use HTTP=1", "HTTP server=127.0.0.1:35489",
                           "Use Automatic Proxy Configuration=0", "Use HTTPS=1",
                           "HTTPS server=127.0.0.1:35489", "", "[User Prefs]", "Language=en"}));
  EXPECT_EQ(ReadFileOrMissing(bare),
            OwnEnd(CrLf({"[User Prefs]", "Language=de", "", "[Proxy]", "Use HTTP=1",
                         "HTTP server=127.0.0.1:35489", "Use HTTPS=1",
                         "HTTPS server=127.0.0.1:35489", "Use Automatic Proxy Configuration=0"}),
                   "\n"));

  opera.Deactivate();
  // Each file its own values, whichever was found last.
  EXPECT_EQ(ReadFileOrMissing(ini),
            header + CrLf({"[Proxy]", "Use HTTP=0", "HTTP server=10.0.0.1:3128",
                           "Use Automatic Proxy Configuration=1", "Use HTTPS=0",
                           "HTTPS server=10.0.0.1:3128", "", "[User Prefs]", "Language=en"}));
  const std::string off = OwnEnd(
      CrLf({"[User Prefs]", "Language=de", "", "[Proxy]", "Use HTTP=0",
            "HTTP server=", "Use HTTPS=0", "HTTPS server=", "Use Automatic Proxy Configuration=0"}),
      "\n");
  EXPECT_EQ(ReadFileOrMissing(bare), off);
  // A second Deactivate writes the same values again, not the proxy.
  opera.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(bare), off);
  EXPECT_EQ(ReadFileOrMissing(capital), untouched);
  EXPECT_EQ(ReadFileOrMissing(too_deep), untouched);

  TOperaActivator fresh;
  fresh.Deactivate();
  EXPECT_NE(ReadFileOrMissing(ini).find("Use HTTP=0\r\nHTTP server=\r\n"), std::string::npos);
  EXPECT_NE(ReadFileOrMissing(ini).find("Use Automatic Proxy Configuration=0\r\n"),
            std::string::npos);
}

TEST_F(ProxyActivatorsTest, FirefoxPutsBackEachProfilesOwnPreferences) {
  const std::string other = R"(user_pref("browser.startup.page", 3);)";
  Write(ProfileFile("type0"), CrLf({other, R"(user_pref("network.proxy.type", 0);)"}));
  Write(ProfileFile("type2"),
        CrLf({R"(user_pref("network.proxy.type", 2);)", other,
              R"(user_pref("network.proxy.autoconfig_url", "http://10.0.0.9/p.pac");)"}));
  Write(ProfileFile("type4"),
        CrLf({R"(user_pref("network.proxy.socks", "10.0.0.3");)",
              R"(user_pref("network.proxy.socks_port", 1080);)",
              R"(user_pref("network.proxy.type", 4);)", R"(user_pref("network.proxy.type", 5);)"}));
  Write(ProfileFile("empty"), CrLf({R"(user_pref("network.proxy.http", "");)"}));

  TFirefoxActivator firefox;
  firefox.Activate("127.0.0.1", "35489", "", "");
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("type0")), CrLf(Plus({other}, kActivateLines)));
  EXPECT_EQ(
      ReadFileOrMissing(ProfileFile("type2")),
      CrLf(Plus({other, R"(user_pref("network.proxy.autoconfig_url", "http://10.0.0.9/p.pac");)"},
                kActivateLines)));
  // The empty value matches no pattern and stays, the proxy line follows it.
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("empty")),
            CrLf(Plus({R"(user_pref("network.proxy.http", "");)"}, kActivateLines)));

  firefox.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("type0")), CrLf({other}));
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("type2")),
            CrLf({other, R"(user_pref("network.proxy.autoconfig_url", "http://10.0.0.9/p.pac");)",
                  R"(user_pref("network.proxy.type", 2);)"}));
  // Host and port are separate lines; of two type lines the topmost counts.
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("type4")),
            CrLf({R"(user_pref("network.proxy.type", 4);)",
                  R"(user_pref("network.proxy.socks", "10.0.0.3");)",
                  R"(user_pref("network.proxy.socks_port", 1080);)"}));
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("empty")), "");

  // A fresh process removes every proxy line and adds none.
  Write(ProfileFile("type4"), CrLf(Plus({other}, kActivateLines)));
  TFirefoxActivator fresh;
  fresh.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("type4")), CrLf({other}));
}

TEST_F(ProxyActivatorsTest, FirefoxActivatesBelowTheProfilesAndDeactivatesOneLevelHigher) {
  const std::string profiles = platform::GetBrowserFolder(BrowserFolder::FirefoxProfiles);
  const std::string firefox_root = platform::GetBrowserFolder(BrowserFolder::FirefoxRoot);
  const std::string nested = Join(profiles, {"p", "sub", "prefs.js"});
  const std::string beside = Join(firefox_root, {"prefs.js"});
  const std::string elsewhere = Join(firefox_root, {"Other", "x", "prefs.js"});
  const std::string plain = CrLf({R"(user_pref("a", 1);)"});
  for (const auto& file : {nested, beside, elsewhere}) Write(file, plain);

  TFirefoxActivator firefox;
  firefox.Activate("127.0.0.1", "35489", "", "");
  EXPECT_EQ(ReadFileOrMissing(nested), CrLf(Plus({R"(user_pref("a", 1);)"}, kActivateLines)));
  EXPECT_EQ(ReadFileOrMissing(beside), plain);
  EXPECT_EQ(ReadFileOrMissing(elsewhere), plain);

  for (const auto& file : {beside, elsewhere}) Write(file, CrLf(kActivateLines));
  firefox.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(nested), CrLf(Plus({R"(user_pref("a", 1);)"}, kActivateLines)));
  EXPECT_EQ(ReadFileOrMissing(beside), "");
  EXPECT_EQ(ReadFileOrMissing(elsewhere), "");
}

TEST_F(ProxyActivatorsTest, PreferenceFilesKeepTheirEncoding) {
  // "é" in the ANSI code page: one byte on Windows (1252), UTF-8 natively.
  const std::string ansi_e = platform::Utf8ToAnsi("\xC3\xA9");
  Write(ProfileFile("ansi"), "user_pref(\"name\", \"caf" + ansi_e + "\");\nlast line");
  Write(ProfileFile("utf8"), "\xEF\xBB\xBFuser_pref(\"name\", \"\xE2\x82\xAC\");\r\r\n");
  // UTF-16 LE with a BOM: "a\r\n".
  Write(ProfileFile("utf16"), std::string("\xFF\xFE"
                                          "a\0\r\0\n\0",
                                          8));

  TFirefoxActivator firefox;
  firefox.Activate("127.0.0.1", "35489", "", "");
  firefox.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("ansi")),
            OwnEnd("user_pref(\"name\", \"caf" + ansi_e + "\");\r\nlast line\r\n", "\n"));
  // The first line end counts: a lone CR here.
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("utf8")),
            OwnEnd("\xEF\xBB\xBFuser_pref(\"name\", \"\xE2\x82\xAC\");\r\n\r\n", "\r"));
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("utf16")), std::string("\xFF\xFE"
                                                                 "a\0\r\0\n\0",
                                                                 8));

  TTextFile decoded = DecodeTextFile(std::string("\xFE\xFF\0x\0\r\0y", 8));
  EXPECT_EQ(decoded.Encoding, TTextEncoding::Utf16BE);
  EXPECT_EQ(decoded.Lines, (std::vector<std::string>{"x", "y"}));
  decoded.Lines.push_back("\xC3\xA9");
  EXPECT_EQ(EncodeTextFile(decoded),
            platform::kPathDelim == '\\'
                ? std::string("\xFE\xFF\0x\0\r\0\n\0y\0\r\0\n\0\xE9\0\r\0\n", 20)
                : std::string("\xFE\xFF\0x\0\r\0y\0\r\0\xE9\0\r", 14));
}

TEST_F(ProxyActivatorsTest, AFailedWriteLeavesTheFileWholeAndStopsTheBrowsersAfterIt) {
  const std::string own = "10.0.0.1:3128";
  const std::string ini = OperaFile({"Opera", "opera6.ini"});
  const std::string ini_text = CrLf({"[Proxy]", "Use HTTP=1", "HTTP server=10.0.0.1:3128"});
  const std::string prefs_text = CrLf({R"(user_pref("network.proxy.type", 2);)"});

  // A refused registry write: neither Opera nor Firefox is touched.
  SetSystemProxy(1, &own);
  Write(ini, ini_text);
  Write(ProfileFile("p"), prefs_text);
  platform::SetRegistryWriteHookForTesting(
      [](const std::string&, const std::string& name) { return name == "ProxyServer" ? 5u : 0u; });
  TMainActivator main_activator;
  try {
    main_activator.Activate();
    FAIL() << "no error";
  } catch (const ERegistryWriteError& error) {
    EXPECT_NE(std::string(error.what()).find("\"ProxyServer\""), std::string::npos);
  }
  EXPECT_EQ(ReadFileOrMissing(ini), ini_text);
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("p")), prefs_text);
  platform::SetRegistryWriteHookForTesting({});

  // An opera6.ini that cannot be written: it stays whole, with no stray new
  // file beside it, and Firefox is not touched; the system proxy already is.
  MakeUnwritable(ini);
  TMainActivator fresh;
  try {
    fresh.Deactivate();
    FAIL() << "no error";
  } catch (const EFileWriteError& error) {
    EXPECT_NE(std::string(error.what()).find(ini), std::string::npos) << error.what();
  }
  EXPECT_EQ(ReadFileOrMissing(ini), ini_text);
  int files_beside = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(platform::ExtractFilePath(ini)))) {
    ++files_beside;
    (void)entry;
  }
  EXPECT_EQ(files_beside, 1);
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("p")), prefs_text);
  EXPECT_EQ(SystemProxy(), std::make_pair(0, std::string()));
  fs::permissions(fs::path(ini), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(ProxyActivatorsTest, AnUnreadableOrUnwritablePreferenceFileStopsFirefox) {
  const std::string prefs_text = CrLf({R"(user_pref("network.proxy.type", 2);)"});
  Write(ProfileFile("p"), prefs_text);
  MakeUnwritable(ProfileFile("p"));
  TFirefoxActivator firefox;
  EXPECT_THROW(firefox.Activate("127.0.0.1", "35489", "", ""), EFileWriteError);
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("p")), prefs_text);
  fs::permissions(fs::path(ProfileFile("p")), fs::perms::owner_write, fs::perm_options::add);
  SetTextFileWriteHookForTesting({});
#ifndef _WIN32
  // Found, but not readable: a link to nowhere.
  ASSERT_TRUE(fs::remove(fs::path(ProfileFile("p"))));
  fs::create_symlink("nowhere", fs::path(ProfileFile("p")));
  EXPECT_THROW(firefox.Deactivate(), EFileReadError);
#endif
}

TEST_F(ProxyActivatorsTest, HostilePreferenceFilesAreSkippedOrRefusedAndLeftAsTheyAre) {
  const std::string normal = CrLf({R"(user_pref("a", 1);)"});
  Write(ProfileFile("normal"), normal);
  // A folder of the name is no preference file.
  ASSERT_TRUE(platform::ForceDirectories(ProfileFile("folder")));
#ifndef _WIN32
  // Natively a FIFO would block the reader for ever and /dev/zero would feed
  // it until memory runs out: neither is a regular file, so both are passed by.
  ASSERT_TRUE(platform::ForceDirectories(platform::ExtractFilePath(ProfileFile("fifo"))));
  ASSERT_EQ(std::system(("mkfifo '" + ProfileFile("fifo") + "'").c_str()), 0);
  ASSERT_TRUE(platform::ForceDirectories(platform::ExtractFilePath(ProfileFile("zero"))));
  fs::create_symlink("/dev/zero", fs::path(ProfileFile("zero")));
  ASSERT_TRUE(platform::ForceDirectories(platform::ExtractFilePath(OperaFile({"opera6.ini"}))));
  ASSERT_EQ(std::system(("mkfifo '" + OperaFile({"opera6.ini"}) + "'").c_str()), 0);
#endif
  TFirefoxActivator firefox;
  firefox.Activate("127.0.0.1", "35489", "", "");
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("normal")),
            CrLf(Plus({R"(user_pref("a", 1);)"}, kActivateLines)));
  firefox.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("normal")), normal);
  TOperaActivator opera;
  opera.Activate("127.0.0.1", "35489", "", "");
  opera.Deactivate();
#ifndef _WIN32
  EXPECT_TRUE(fs::is_fifo(fs::path(ProfileFile("fifo"))));
  EXPECT_TRUE(fs::is_symlink(fs::path(ProfileFile("zero"))));
  EXPECT_TRUE(fs::is_fifo(fs::path(OperaFile({"opera6.ini"}))));
#endif

  // Larger than the limit: a clear error, and the file stays as it is.
  SetTextFileSizeLimitForTesting(1000);
  const std::string large =
      CrLf({std::string(1200, 'x'), R"(user_pref("network.proxy.type", 2);)"});
  Write(ProfileFile("large"), large);
  try {
    firefox.Deactivate();
    ADD_FAILURE() << "a file over the limit was read";
  } catch (const EFileReadError& error) {
    EXPECT_NE(std::string(error.what()).find("is larger than 1000 bytes"), std::string::npos)
        << error.what();
  }
  SetTextFileSizeLimitForTesting(0);
  EXPECT_EQ(ReadFileOrMissing(ProfileFile("large")), large);
}

TEST_F(ProxyActivatorsTest, AnInterruptedRewriteLeavesNothingForTheNextRun) {
  const std::string prefs = ProfileFile("p");
  Write(prefs, CrLf({R"(user_pref("network.proxy.type", 1);)"}));
  // What a rewrite killed half-way leaves: its temporary file, megabytes.
  const std::string left = prefs + platform::kTemporaryFileMarker + "2147483001-3";
  Write(left, std::string(3 << 20, 'p'));
  const std::string foreign = prefs + ".moztmp";
  Write(foreign, "another program's");
  TFirefoxActivator firefox;
  firefox.Deactivate();
  EXPECT_EQ(ReadFileOrMissing(prefs), "");
  EXPECT_FALSE(platform::FileExists(left));
  EXPECT_EQ(ReadFileOrMissing(foreign), "another program's");
  const auto entries = platform::ListDirectory(platform::ExtractFilePath(prefs));
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(entries->size(), 2u) << "prefs.js and the other program's file only";
}

#ifdef _WIN32
// The 32-bit program must rewrite a preference file of a size that does not
// fit its address space more than once or twice.
TEST_F(ProxyActivatorsTest, ALargePreferenceFileFitsThe32BitProgram) {
  const std::string line =
      R"(user_pref("extensions.some.long.preference.name", "a value of some length");)";
  std::string text;
  text.reserve(200u << 20);
  while (text.size() < (200u << 20)) text.append(line).append("\r\n");
  text.append(R"(user_pref("network.proxy.type", 2);)").append("\r\n");
  Write(ProfileFile("big"), text);
  const std::size_t size = text.size();
  std::string().swap(text);

  TFirefoxActivator().Activate("127.0.0.1", "35489", "", "");
  TFirefoxActivator().Deactivate();  // nothing saved: every proxy line goes
  std::string bytes;
  ASSERT_EQ(platform::ReadRegularFile(ProfileFile("big"), size, bytes),
            platform::RegularFileRead::Ok);
  EXPECT_EQ(bytes.size(), size - std::string(R"(user_pref("network.proxy.type", 2);)").size() - 2);
  EXPECT_EQ(bytes.find("network.proxy."), std::string::npos);
}
#endif

TEST(ProfileIniTest, ReadsAndWritesAsThePrivateProfileFunctionsDo) {
  test_support::TempFolder folder;
  const std::string file = folder / "x.ini";
  test_support::WriteFileForTest(
      file,
      "top=1\n[proxy]\n Use HTTP = 0x1F \nname=\"  quoted  \"\nbad=12abc\nneg=-5\n"
      "big=4294967296\nall=0xFFFFFFFF\n\n[Proxy]\nUse HTTP=7\n[Other]\nlong=" +
          std::string(3000, 'x') + "\n");
  TProfileIni ini(file);
  EXPECT_EQ(ini.ReadInteger("PROXY", "use http", 0), 31);
  EXPECT_EQ(ini.ReadString("Proxy", "name", ""), "  quoted  ");
  EXPECT_EQ(ini.ReadInteger("Proxy", "bad", 9), 9);
  EXPECT_EQ(ini.ReadInteger("Proxy", "neg", 9), -5);
  EXPECT_EQ(ini.ReadInteger("Proxy", "big", 9), 9);
  EXPECT_EQ(ini.ReadInteger("Proxy", "all", 9), -1);
  EXPECT_EQ(ini.ReadInteger("Proxy", "top", 9), 9);
  EXPECT_EQ(ini.ReadString("Other", "long", "").size(), 2047u);
  EXPECT_EQ(ini.ReadString("Missing", "long", "dflt"), "dflt");

  ini.WriteInteger("proxy", "USE HTTP", 0);
  ini.WriteString("Proxy", "added", "a\r\nb");
  ini.WriteString("New", "k", "v");
  ini.UpdateFile();
  EXPECT_EQ(
      ReadFileOrMissing(file),
      OwnEnd("top=1\r\n[proxy]\r\nUse HTTP=0\r\nname=\"  quoted  \"\r\nbad=12abc\r\nneg=-5\r\n"
             "big=4294967296\r\nall=0xFFFFFFFF\r\nadded=ab\r\n\r\n[Proxy]\r\nUse HTTP=7\r\n"
             "[Other]\r\nlong=" +
                 std::string(3000, 'x') + "\r\n\r\n[New]\r\nk=v\r\n",
             "\n"));
}

}  // namespace
