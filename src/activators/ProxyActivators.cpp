#include "activators/ProxyActivators.h"

#include <algorithm>
#include <array>
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
const char kProxyEnable[] = "ProxyEnable";
const char kProxyServer[] = "ProxyServer";

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether a ProxyServer value ("host:port", or "scheme=host:port;...")
// names `Address` for any scheme.
bool ServerNames(const std::string& Server, const std::string& Address) {
  std::size_t start = 0;
  while (start <= Server.size()) {
    const std::size_t end = std::min(Server.find(';', start), Server.size());
    std::string entry = Server.substr(start, end - start);
    const std::size_t equals = entry.find('=');
    if (equals != std::string::npos) entry.erase(0, equals + 1);
    if (LowerAscii(TrimBlanks(entry)) == LowerAscii(Address)) return true;
    start = end + 1;
  }
  return false;
}

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

namespace {

std::vector<std::string> TOperaActivatorFiles() {
  std::vector<std::string> files;
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::OperaSearchRoot);
  if (!root.empty()) TBrowserActivator::FindFiles(root, kOperaIni, files, 4);
  return files;
}

}  // namespace

void TBrowserActivator::FindFiles(const std::string& Folder, const std::string& FileName,
                                  std::vector<std::string>& List, unsigned Depth) {
  FindFilesIn(Folder, FileName, List, Depth);
}

// ===== TIEActivator =====

std::optional<TSystemProxyChange> TIEActivator::Change(const std::string& HTTP_Address,
                                                       const std::string& HTTP_Port) {
  // The settings a 64-bit browser reads lie in the 64-bit view; from here on
  // every registry operation of the process uses it.
  RegistryView = IsWin64() ? platform::kKeyWow64_64Key : 0;
  if (!RegistryKeyExists(kCurrentUser, kInternetSettings)) return std::nullopt;
  TSystemProxyChange change;
  change.View64 = RegistryView != 0;
  for (const char* name : {kProxyEnable, kProxyServer}) {
    TRegistryValueBefore before;
    before.Name = name;
    before.Existed = QueryRegistryValue(kCurrentUser, kInternetSettings, name, before.Value);
    change.Before.push_back(std::move(before));
  }
  change.WrittenEnable = 1;
  change.WrittenServer = HTTP_Address + ":" + HTTP_Port;
  return change;
}

void TIEActivator::Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
                        const std::string&, const std::string&, TActivationChanges& Changes) {
  if (auto change = Change(HTTP_Address, HTTP_Port)) Changes.System = std::move(*change);
}

void TIEActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                            const std::string&, const std::string&) {
  const std::optional<TSystemProxyChange> change = Change(HTTP_Address, HTTP_Port);
  if (!change) return;
  if (FObserver != nullptr) FObserver->BeforeChange(*change);
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

void TIEActivator::DeactivateWherePointingAt(const std::string& Host, const std::string& Port) {
  RegistryView = IsWin64() ? platform::kKeyWow64_64Key : 0;
  if (!RegistryKeyExists(kCurrentUser, kInternetSettings)) return;
  std::string server;
  if (!ReadRegistryString(kCurrentUser, kInternetSettings, kProxyServer, server)) return;
  if (!ServerNames(server, Host + ":" + Port)) return;
  WriteRegistryInteger(kCurrentUser, kInternetSettings, kProxyEnable, 0);
  WriteRegistryString(kCurrentUser, kInternetSettings, kProxyServer, "");
}

// ===== TOperaActivator =====

std::vector<std::string> TOperaActivator::FindIniFiles() { return TOperaActivatorFiles(); }

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

void TOperaActivator::Run(const std::string& Server, TActivationChanges* Planned) {
  // The five keys ExchangeSettings writes, in its order, with what Activate
  // gives them.
  const std::pair<const char*, std::string> written[] = {{kUseHTTP, "1"},
                                                         {kHTTPServer, Server},
                                                         {kUseHTTPS, "1"},
                                                         {kHTTPSServer, Server},
                                                         {kAutoProxy, "0"}};
  for (const std::string& file : FindIniFiles()) {
    std::string bytes;
    try {
      bytes = LoadSettingsFileBytes(file);
    } catch (const ENotRegularFile&) {
      continue;  // a FIFO or device of that name is no settings file
    }
    TProfileIni ini(file, DecodeTextFile(bytes));
    TFileChange change;
    change.Kind = TSettingsFileKind::Opera;
    change.Path = file;
    change.SectionAdded = !ini.HasSection(kProxySection);
    change.BlankLineAdded = change.SectionAdded && ini.EndsWithText();
    for (const auto& [key, value] : written) {
      TOperaKeyBefore before;
      before.Key = key;
      before.Existed = ini.KeyLine(kProxySection, key, before.Line);
      before.Written = value;
      change.Keys.push_back(std::move(before));
    }
    const TSettings saved = ExchangeSettings(ini, 1, Server, 0);
    if (Planned == nullptr) FSaved[SavedSetKey(file)] = saved;
    if (!ini.Modified()) continue;
    if (bytes.size() <= kChangeOriginalLimit) {
      change.HasOriginal = true;
      change.Original = std::move(bytes);
    }
    if (Planned != nullptr) {
      Planned->Files.push_back(std::move(change));
      continue;
    }
    if (FObserver != nullptr) FObserver->BeforeChange(change);
    // All five values reach the file together or not at all.
    ini.UpdateFile();
  }
}

void TOperaActivator::Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                               const std::string&, const std::string&) {
  Run(HTTP_Address + ":" + HTTP_Port, nullptr);
}

void TOperaActivator::Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
                           const std::string&, const std::string&, TActivationChanges& Changes) {
  Run(HTTP_Address + ":" + HTTP_Port, &Changes);
}

void TOperaActivator::DeactivateWherePointingAt(const std::string& Host, const std::string& Port) {
  const std::string address = LowerAscii(Host + ":" + Port);
  for (const std::string& file : FindIniFiles()) {
    std::optional<TProfileIni> ini = OpenIni(file);
    if (!ini) continue;
    if (LowerAscii(ini->ReadString(kProxySection, kHTTPServer, "")) != address &&
        LowerAscii(ini->ReadString(kProxySection, kHTTPSServer, "")) != address) {
      continue;
    }
    ExchangeSettings(*ini, 0, "", 0);
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
  Run(HTTP_Address, HTTP_Port, SOCKS_Address, SOCKS_Port, nullptr);
}

void TFirefoxActivator::Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
                             const std::string& SOCKS_Address, const std::string& SOCKS_Port,
                             TActivationChanges& Changes) {
  Run(HTTP_Address, HTTP_Port, SOCKS_Address, SOCKS_Port, &Changes);
}

void TFirefoxActivator::Run(const std::string& HTTP_Address, const std::string& HTTP_Port,
                            const std::string& SOCKS_Address, const std::string& SOCKS_Port,
                            TActivationChanges* Planned) {
  if (Planned == nullptr) FSaved.clear();
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
    std::string bytes;
    try {
      bytes = LoadSettingsFileBytes(file);
    } catch (const ENotRegularFile&) {
      continue;  // a FIFO or device of that name is no preference file
    }
    TFileChange change;
    change.Kind = TSettingsFileKind::Firefox;
    change.Path = file;
    change.Appended.assign(appended.begin(), appended.end());
    change.HasOriginal = bytes.size() <= kChangeOriginalLimit;
    if (change.HasOriginal) change.Original = bytes;
    TTextLines prefs = DecodeTextLines(std::move(bytes));
    if (Planned != nullptr || FObserver != nullptr) {
      // A first pass that writes nothing: which lines go, and whether the
      // file changes at all.
      std::string rewritten;
      TTextEncoder encoder(prefs.Encoding, prefs.LineEnd, [&](std::string_view piece) {
        if (change.HasOriginal) rewritten.append(piece);
      });
      RewritePrefsForActivate(prefs, patterns, appended, encoder, &change.Removed);
      encoder.Flush();
      const bool changed = !change.HasOriginal || rewritten != change.Original;
      if (Planned != nullptr) {
        if (changed) Planned->Files.push_back(std::move(change));
        continue;
      }
      if (changed) FObserver->BeforeChange(change);
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

void TFirefoxActivator::DeactivateWherePointingAt(const std::string& Host,
                                                  const std::string& Port) {
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxRoot);
  if (root.empty()) return;
  const TFirefoxPatterns patterns;
  std::vector<std::string> files;
  FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  for (const std::string& file : files) {
    TTextLines prefs;
    try {
      prefs = LoadTextLines(file);
    } catch (const ENotRegularFile&) {
      continue;
    }
    // The values as the file has them now, read without writing anything.
    TTextEncoder nowhere(prefs.Encoding, prefs.LineEnd, [](std::string_view) {});
    const TFirefoxProxySettings now = RewritePrefsForActivate(prefs, patterns, {}, nowhere);
    const bool http = now.HTTP_Proxy == Host && now.HTTP_Port == Port;
    const bool ssl = now.SSL_Proxy == Host && now.SSL_Port == Port;
    if (!http && !ssl) continue;
    SaveTextLines(file, prefs.Encoding, prefs.LineEnd,
                  [&](TTextEncoder& out) { RewritePrefsForDeactivate(prefs, {}, out); });
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

TActivationChanges TMainActivator::Plan() {
  TActivationChanges changes;
  for (auto& activator : FActivators)
    activator->Plan(endpoints::kLoopbackHost, endpoints::PortText(endpoints::kHttpEndpointPort), "",
                    "", changes);
  return changes;
}

void TMainActivator::SetObserver(TActivationObserver* Observer) {
  for (auto& activator : FActivators) activator->SetObserver(Observer);
}

void TMainActivator::DeactivateWherePointingAtEndpoint() {
  for (auto& activator : FActivators)
    activator->DeactivateWherePointingAt(endpoints::kLoopbackHost,
                                         endpoints::PortText(endpoints::kHttpEndpointPort));
}

std::vector<std::string> FindActivatedFiles(TSettingsFileKind Kind) {
  std::vector<std::string> files;
  if (Kind == TSettingsFileKind::Opera) return TOperaActivatorFiles();
  const std::string root = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxProfiles);
  if (!root.empty()) TBrowserActivator::FindFiles(root, kPrefsJs, files, kFirefoxDepth);
  return files;
}

std::string ActivatedBytes(const TFileChange& Change) {
  if (Change.Kind == TSettingsFileKind::Opera) {
    TProfileIni ini(Change.Path, DecodeTextFile(Change.Original));
    for (const TOperaKeyBefore& key : Change.Keys)
      ini.WriteString(kProxySection, key.Key, key.Written);
    return ini.Modified() ? EncodeTextFile(ini.File()) : Change.Original;
  }
  std::array<std::string, kFirefoxPreferenceCount> appended;
  for (std::size_t i = 0; i < appended.size() && i < Change.Appended.size(); ++i)
    appended[i] = Change.Appended[i];
  const TTextLines prefs = DecodeTextLines(Change.Original);
  std::string bytes;
  TTextEncoder encoder(prefs.Encoding, prefs.LineEnd,
                       [&](std::string_view piece) { bytes.append(piece); });
  RewritePrefsForActivate(prefs, TFirefoxPatterns(), appended, encoder);
  encoder.Flush();
  return bytes;
}

bool SameSettingsFile(const std::string& a, const std::string& b) {
  return SavedSetKey(a) == SavedSetKey(b);
}

TMainActivator& MainActivator() {
  // Freed when the program ends; freeing deactivates nothing.
  static TMainActivator activator;
  return activator;
}
