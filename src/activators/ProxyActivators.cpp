#include "activators/ProxyActivators.h"

#include <stdexcept>
#include <string_view>

#include "activators/MasksUtils.h"
#include "activators/ProfileIni.h"
#include "activators/Registryx86x64.h"
#include "activators/TextFiles.h"
#include "activators/Win64.h"
#include "platform/BrowserFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

namespace {

// ---- the file search shared by the file-based activators ----

void FindFilesIn(const std::string& Folder, const std::string& FileName,
                 std::vector<std::string>& List, unsigned Depth) {
  if (Depth == 0) return;
  const std::string dir = platform::IncludeTrailingDelimiter(Folder);
  const auto entries = platform::ListDirectory(dir);
  if (!entries) return;
  for (const platform::DirEntry& entry : *entries) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (entry.is_directory) {
      FindFilesIn(dir + entry.name, FileName, List, Depth - 1);
    } else if (NameMatchesMask(entry.name, FileName)) {
      List.push_back(dir + entry.name);
    }
  }
}

// ---- the system proxy ----

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr platform::RegRoot kCurrentUser = platform::RegRoot::CurrentUser;

// ---- Opera ----

const char kOperaIni[] = "opera6.ini";
const char kProxySection[] = "Proxy";
const char kUseHTTP[] = "Use HTTP";
const char kHTTPServer[] = "HTTP server";
const char kUseHTTPS[] = "Use HTTPS";
const char kHTTPSServer[] = "HTTPS server";
const char kAutoProxy[] = "Use Automatic Proxy Configuration";

// ---- Firefox ----

const char kPrefsJs[] = "prefs.js";
constexpr unsigned kFirefoxDepth = 3;
// Every proxy preference line contains this; lines without it need no
// closer look, which keeps large preference files cheap.
constexpr std::string_view kProxyPrefix = "network.proxy.";

const char* const kCapturePatterns[] = {
    R"p(user_pref\("network\.proxy\.type", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.http", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.http_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.ssl", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.ssl_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.socks", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.socks_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.socks_remote_dns", (.+?)\);)p",
};
constexpr std::size_t kPreferenceCount = std::size(kCapturePatterns);

const std::string_view kRecognitionTexts[kPreferenceCount] = {
    R"p("network.proxy.type")p",       R"p(network.proxy.http")p",
    R"p("network.proxy.http_port")p",  R"p("network.proxy.ssl")p",
    R"p("network.proxy.ssl_port")p",   R"p("network.proxy.socks")p",
    R"p("network.proxy.socks_port")p", R"p("network.proxy.socks_remote_dns")p",
};

// A compiled pattern with its match data, freed however the operation ends.
class TPattern {
 public:
  explicit TPattern(const char* Pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern), PCRE2_ZERO_TERMINATED, 0, &error,
                          &offset, nullptr);
    if (FCode == nullptr) throw std::logic_error(std::string("Bad pattern ") + Pattern);
    FMatch = pcre2_match_data_create_from_pattern(FCode, nullptr);
    if (FMatch == nullptr) {
      pcre2_code_free(FCode);
      throw std::bad_alloc();
    }
  }
  ~TPattern() {
    pcre2_match_data_free(FMatch);
    pcre2_code_free(FCode);
  }
  TPattern(const TPattern&) = delete;
  TPattern& operator=(const TPattern&) = delete;

  // Whether the pattern matches anywhere in `Subject`; group 1 into `Group`.
  bool Match(std::string_view Subject, std::string& Group) const {
    const int rc = pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(Subject.data()), Subject.size(),
                               0, 0, FMatch, nullptr);
    if (rc < 2) return false;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(FMatch);
    Group.assign(Subject.substr(ovector[2], ovector[3] - ovector[2]));
    return true;
  }

 private:
  pcre2_code* FCode = nullptr;
  pcre2_match_data* FMatch = nullptr;
};

// The key of a file's saved set. Windows names the same file in any case
// (the search roots are typed, the folders below them are listed), so the
// key ignores case there.
std::string SavedSetKey(const std::string& FileName) {
  if (platform::kPathDelim != '\\') return FileName;
  std::string key = FileName;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

// ===== TBrowserActivator =====

void TBrowserActivator::FindFiles(const std::string& Folder, const std::string& FileName,
                                  std::vector<std::string>& List, unsigned Depth) {
  FindFilesIn(Folder, FileName, List, Depth);
}

// ===== TIEActivator =====

void TIEActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                            const std::string&, const std::string&) {
  // The settings a 64-bit browser reads lie in the 64-bit view; from here on
  // every registry operation of the process uses it.
  RegistryView = IsWin64() ? platform::kKeyWow64_64Key : 0;
  if (!RegistryKeyExists(kCurrentUser, kInternetSettings)) return;
  ReadRegistryInteger(kCurrentUser, kInternetSettings, "ProxyEnable", FProxyEnable);
  FProxyServer.clear();
  ReadRegistryString(kCurrentUser, kInternetSettings, "ProxyServer", FProxyServer);
  WriteRegistryInteger(kCurrentUser, kInternetSettings, "ProxyEnable", 1);
  WriteRegistryString(kCurrentUser, kInternetSettings, "ProxyServer",
                      HTTP_Address + ":" + HTTP_Port);
}

void TIEActivator::Deactivate() {
  if (!RegistryKeyExists(kCurrentUser, kInternetSettings)) return;
  WriteRegistryInteger(kCurrentUser, kInternetSettings, "ProxyEnable", FProxyEnable);
  WriteRegistryString(kCurrentUser, kInternetSettings, "ProxyServer", FProxyServer);
}

// ===== TOperaActivator =====

std::vector<std::string> TOperaActivator::FindIniFiles() {
  std::vector<std::string> files;
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::OperaSearchRoot);
  if (!root.empty()) FindFiles(root, kOperaIni, files, 4);
  return files;
}

TOperaActivator::TSettings TOperaActivator::ExchangeSettings(TProfileIni& Ini, std::int32_t UseHTTP,
                                                             const std::string& Server,
                                                             std::int32_t AutoProxy) {
  TSettings before;
  before.ProxyEnabled = Ini.ReadInteger(kProxySection, kUseHTTP, 0);
  before.HTTP_Server = Ini.ReadString(kProxySection, kHTTPServer, "");
  before.AutoProxy = Ini.ReadInteger(kProxySection, kAutoProxy, 0);
  Ini.WriteInteger(kProxySection, kUseHTTP, UseHTTP);
  Ini.WriteString(kProxySection, kHTTPServer, Server);
  Ini.WriteInteger(kProxySection, kUseHTTPS, UseHTTP);
  Ini.WriteString(kProxySection, kHTTPSServer, Server);
  Ini.WriteInteger(kProxySection, kAutoProxy, AutoProxy);
  return before;
}

void TOperaActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                               const std::string&, const std::string&) {
  for (const std::string& file : FindIniFiles()) {
    TProfileIni ini(file);
    FSaved[SavedSetKey(file)] = ExchangeSettings(ini, 1, HTTP_Address + ":" + HTTP_Port, 0);
    // All five values reach the file together or not at all.
    ini.UpdateFile();
  }
}

void TOperaActivator::Deactivate() {
  for (const std::string& file : FindIniFiles()) {
    TProfileIni ini(file);
    const auto saved = FSaved.find(SavedSetKey(file));
    const TSettings values = saved != FSaved.end() ? saved->second : TSettings{};
    ExchangeSettings(ini, values.ProxyEnabled, values.HTTP_Server, values.AutoProxy);
    ini.UpdateFile();
  }
}

// ===== TFirefoxActivator =====

void TFirefoxActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                                 const std::string& SOCKS_Address, const std::string& SOCKS_Port) {
  FSaved.clear();
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxProfiles);
  if (root.empty()) return;

  std::vector<std::unique_ptr<TPattern>> patterns;
  for (const char* pattern : kCapturePatterns)
    patterns.push_back(std::make_unique<TPattern>(pattern));

  // An empty SOCKS host or port would leave a preference without a value
  // ("socks_port", );), which the browser cannot parse; the engine's own
  // SOCKS listener keeps the protocols without a proxy of their own anonymous.
  const std::string socks_host = SOCKS_Address.empty() ? kEngineSocksHost : SOCKS_Address;
  const std::string socks_port = SOCKS_Port.empty() ? kEngineSocksPort : SOCKS_Port;
  const std::string appended[kPreferenceCount] = {
      R"p(user_pref("network.proxy.type", 1);)p",
      R"p(user_pref("network.proxy.http", ")p" + HTTP_Address + R"p(");)p",
      R"p(user_pref("network.proxy.http_port", )p" + HTTP_Port + ");",
      R"p(user_pref("network.proxy.ssl", ")p" + HTTP_Address + R"p(");)p",
      R"p(user_pref("network.proxy.ssl_port", )p" + HTTP_Port + ");",
      R"p(user_pref("network.proxy.socks", ")p" + socks_host + R"p(");)p",
      R"p(user_pref("network.proxy.socks_port", )p" + socks_port + ");",
      R"p(user_pref("network.proxy.socks_remote_dns", true);)p",
  };

  std::vector<std::string> files;
  FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  for (const std::string& file : files) {
    TTextFile prefs = LoadTextFile(file);
    TSettings saved;
    std::string* const fields[kPreferenceCount] = {
        &saved.ProxyType, &saved.HTTP_Proxy,  &saved.HTTP_Port,  &saved.SSL_Proxy,
        &saved.SSL_Port,  &saved.SOCKS_Proxy, &saved.SOCKS_Port, &saved.Remote_DNS,
    };
    // From the last line up, so that the topmost occurrence of a preference
    // is the one whose value is kept.
    std::vector<bool> keep(prefs.Lines.size(), true);
    std::string group;
    for (std::size_t i = prefs.Lines.size(); i-- > 0;) {
      const std::string& line = prefs.Lines[i];
      if (line.find(kProxyPrefix) == std::string::npos) continue;
      for (std::size_t p = 0; p < kPreferenceCount; ++p) {
        if (patterns[p]->Match(line, group)) {
          *fields[p] = group;
          keep[i] = false;
          break;
        }
      }
    }
    std::vector<std::string> lines;
    lines.reserve(prefs.Lines.size() + kPreferenceCount);
    for (std::size_t i = 0; i < prefs.Lines.size(); ++i) {
      if (keep[i]) lines.push_back(std::move(prefs.Lines[i]));
    }
    lines.insert(lines.end(), std::begin(appended), std::end(appended));
    prefs.Lines = std::move(lines);
    FSaved[SavedSetKey(file)] = std::move(saved);
    SaveTextFile(file, prefs);
  }
}

void TFirefoxActivator::Deactivate() {
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxRoot);
  if (root.empty()) return;
  std::vector<std::string> files;
  FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  for (const std::string& file : files) {
    TTextFile prefs = LoadTextFile(file);
    std::vector<std::string> lines;
    lines.reserve(prefs.Lines.size() + kPreferenceCount);
    for (std::string& line : prefs.Lines) {
      bool proxy_line = false;
      if (line.find(kProxyPrefix) != std::string::npos) {
        for (const std::string_view text : kRecognitionTexts) {
          if (line.find(text) != std::string::npos) {
            proxy_line = true;
            break;
          }
        }
      }
      if (!proxy_line) lines.push_back(std::move(line));
    }

    // A file activated in this process gets its own values back; any other
    // (a fresh process) has none, so the browser's defaults apply.
    const auto found = FSaved.find(SavedSetKey(file));
    const TSettings saved = found != FSaved.end() ? found->second : TSettings{};
    if (!saved.ProxyType.empty() && saved.ProxyType != "0") {
      lines.push_back(R"p(user_pref("network.proxy.type", )p" + saved.ProxyType + ");");
    }
    auto add = [&lines](const std::string& value, const char* before, const char* after) {
      if (!value.empty()) lines.push_back(before + value + after);
    };
    add(saved.HTTP_Proxy, R"p(user_pref("network.proxy.http", ")p", R"p(");)p");
    add(saved.HTTP_Port, R"p(user_pref("network.proxy.http_port", )p", ");");
    add(saved.SSL_Proxy, R"p(user_pref("network.proxy.ssl", ")p", R"p(");)p");
    add(saved.SSL_Port, R"p(user_pref("network.proxy.ssl_port", )p", ");");
    add(saved.SOCKS_Proxy, R"p(user_pref("network.proxy.socks", ")p", R"p(");)p");
    add(saved.SOCKS_Port, R"p(user_pref("network.proxy.socks_port", )p", ");");
    add(saved.Remote_DNS, R"p(user_pref("network.proxy.socks_remote_dns", )p", ");");

    prefs.Lines = std::move(lines);
    SaveTextFile(file, prefs);
  }
}

// ===== TMainActivator =====

TMainActivator::TMainActivator() {
  FActivators.push_back(std::make_unique<TIEActivator>());
  FActivators.push_back(std::make_unique<TOperaActivator>());
  FActivators.push_back(std::make_unique<TFirefoxActivator>());
}

TMainActivator::~TMainActivator() {
  for (auto& activator : FActivators) activator.reset();
}

void TMainActivator::Activate() {
  for (auto& activator : FActivators) activator->Activate(kLocalProxyHost, kLocalProxyPort, "", "");
}

void TMainActivator::Deactivate() {
  for (auto& activator : FActivators) activator->Deactivate();
}

namespace {
// Created while the program starts, freed when it ends; freeing deactivates
// nothing.
const std::unique_ptr<TMainActivator> g_main_activator = std::make_unique<TMainActivator>();
}  // namespace

TMainActivator* const MainActivator = g_main_activator.get();
