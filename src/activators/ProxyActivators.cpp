#include "activators/ProxyActivators.h"

#include <optional>
#include <stdexcept>
#include <string_view>

#include "activators/FirefoxPrefs.h"
#include "activators/MasksUtils.h"
#include "activators/ProfileIni.h"
#include "activators/Registryx86x64.h"
#include "activators/TextFiles.h"
#include "activators/Win64.h"
#include "base/Endpoints.h"
#include "platform/BrowserFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"

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

// The INI file, or nothing for a name that is no regular file (a FIFO or a
// device is no settings file and is left alone).
std::optional<TProfileIni> OpenIni(const std::string& FileName) {
  try {
    return std::optional<TProfileIni>(std::in_place, FileName);
  } catch (const ENotRegularFile&) {
    return std::nullopt;
  }
}

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
    std::optional<TProfileIni> ini = OpenIni(file);
    if (!ini) continue;
    FSaved[SavedSetKey(file)] = ExchangeSettings(*ini, 1, HTTP_Address + ":" + HTTP_Port, 0);
    // All five values reach the file together or not at all.
    ini->UpdateFile();
  }
}

void TOperaActivator::Deactivate() {
  for (const std::string& file : FindIniFiles()) {
    std::optional<TProfileIni> ini = OpenIni(file);
    if (!ini) continue;
    const auto saved = FSaved.find(SavedSetKey(file));
    const TSettings values = saved != FSaved.end() ? saved->second : TSettings{};
    ExchangeSettings(*ini, values.ProxyEnabled, values.HTTP_Server, values.AutoProxy);
    ini->UpdateFile();
  }
}

// ===== TFirefoxActivator =====

void TFirefoxActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                                 const std::string& SOCKS_Address, const std::string& SOCKS_Port) {
  FSaved.clear();
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxProfiles);
  if (root.empty()) return;

  const TFirefoxPatterns patterns;
  // An empty SOCKS host or port would leave a preference without a value
  // ("socks_port", );), which the browser cannot parse; the engine's own
  // SOCKS listener keeps the protocols without a proxy of their own anonymous.
  const auto appended = FirefoxActivateLines(
      HTTP_Address, HTTP_Port, SOCKS_Address.empty() ? endpoints::kLoopbackHost : SOCKS_Address,
      SOCKS_Port.empty() ? endpoints::PortText(endpoints::kEngineSocksPort) : SOCKS_Port);

  std::vector<std::string> files;
  FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  for (const std::string& file : files) {
    TTextLines prefs;
    try {
      prefs = LoadTextLines(file);
    } catch (const ENotRegularFile&) {
      continue;  // a FIFO or device of that name is no preference file
    }
    TFirefoxProxySettings saved;
    SaveTextLines(file, prefs.Encoding, prefs.LineEnd, [&](TTextEncoder& out) {
      saved = RewritePrefsForActivate(prefs, patterns, appended, out);
    });
    FSaved[SavedSetKey(file)] = std::move(saved);
  }
}

void TFirefoxActivator::Deactivate() {
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxRoot);
  if (root.empty()) return;
  std::vector<std::string> files;
  FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  for (const std::string& file : files) {
    TTextLines prefs;
    try {
      prefs = LoadTextLines(file);
    } catch (const ENotRegularFile&) {
      continue;
    }
    // A file activated in this process gets its own values back; any other
    // (a fresh process) has none, so the browser's defaults apply.
    const auto found = FSaved.find(SavedSetKey(file));
    const TFirefoxProxySettings saved =
        found != FSaved.end() ? found->second : TFirefoxProxySettings{};
    SaveTextLines(file, prefs.Encoding, prefs.LineEnd,
                  [&](TTextEncoder& out) { RewritePrefsForDeactivate(prefs, saved, out); });
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
  for (auto& activator : FActivators)
    activator->Activate(endpoints::kLoopbackHost, endpoints::PortText(endpoints::kHttpEndpointPort),
                        "", "");
}

void TMainActivator::Deactivate() {
  for (auto& activator : FActivators) activator->Deactivate();
}

TMainActivator& MainActivator() {
  // Freed when the program ends; freeing deactivates nothing.
  static TMainActivator activator;
  return activator;
}
