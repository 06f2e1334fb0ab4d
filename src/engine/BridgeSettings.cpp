#include "engine/BridgeSettings.h"

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/ShortPath.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace {

const char kSection[] = "Bridges";
const char kSource[] = "BridgeSettings";

#ifdef _WIN32
const char kTransportProgram[] = "obfs4proxy.exe";
#else
const char kTransportProgram[] = "obfs4proxy";
#endif

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

std::string LineKey(int Number) { return "Line" + std::to_string(Number); }

bool UsesObfs4(const std::vector<TBridgeLine>& Lines) {
  for (const TBridgeLine& line : Lines) {
    if (line.Transport == "obfs4") return true;
  }
  return false;
}

}  // namespace

std::vector<TBridgeLine> TBridgeSettings::ActiveLines() const {
  if (!Enabled) return {};
  return Source == TBridgeSource::BuiltIn ? BuiltInObfs4Bridges() : CustomLines;
}

std::string TBridgeSettings::CustomText() const {
  std::string text;
  for (const TBridgeLine& line : CustomLines) text += line.Text() + "\r\n";
  return text;
}

TBridgeSettings LoadBridgeSettings(const std::string& OptionsFile) {
  TBridgeSettings settings;
  try {
    const platform::IniFile ini(OptionsFile.empty() ? TOptions::GetFileName() : OptionsFile);
    settings.Enabled = ini.ReadBool(kSection, "Enabled", false);
    settings.Source = Lower(ini.ReadString(kSection, "Source", "builtin")) == "custom"
                          ? TBridgeSource::Custom
                          : TBridgeSource::BuiltIn;
    const int count = ini.ReadInteger(kSection, "Count", 0);
    for (int i = 1; i <= count && i <= kMaxBridgeLines; ++i) {
      TBridgeLine line;
      const std::string text = ini.ReadString(kSection, LineKey(i), "");
      const TBridgeFault fault = CheckBridgeLine(text, line);
      if (fault == TBridgeFault::None) {
        settings.CustomLines.push_back(std::move(line));
      } else {
        LogMessage(
            "Stored bridge line " + std::to_string(i) + " left out: " + BridgeFaultText(fault),
            kSource);
      }
    }
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
  }
  return settings;
}

TBridgeCheck SaveBridgeSettings(bool Enabled, TBridgeSource Source, std::string_view CustomText,
                                const std::string& OptionsFile) {
  TBridgeCheck check = CheckBridgeLines(CustomText);
  if (check.Ok() && Enabled && Source == TBridgeSource::Custom && check.Lines.empty()) {
    check.Fault = TBridgeFault::NoLines;
  }
  if (!check.Ok()) {
    LogMessage("Bridge lines refused: " + check.Message(), kSource);
    return check;
  }
  platform::IniFile ini(OptionsFile.empty() ? TOptions::GetFileName() : OptionsFile);
  const int old_count = ini.ReadInteger(kSection, "Count", 0);
  // The lines first, their count after: a reader never counts a line that
  // is not there yet.
  int number = 0;
  for (const TBridgeLine& line : check.Lines)
    ini.WriteString(kSection, LineKey(++number), line.Text());
  ini.WriteInteger(kSection, "Count", number);
  for (int i = number + 1; i <= old_count && i <= kMaxBridgeLines; ++i) {
    ini.DeleteKey(kSection, LineKey(i));
  }
  ini.WriteString(kSection, "Source", Source == TBridgeSource::Custom ? "custom" : "builtin");
  ini.WriteBool(kSection, "Enabled", Enabled);
  return check;
}

std::string Obfs4ProxyPath(const std::string& EngineFolder) {
  std::string path = platform::IncludeTrailingDelimiter(EngineFolder) + kTransportProgram;
  if (!platform::FileExists(path)) path = ApplicationFolder() + kTransportProgram;
  // The engine splits its plug-in line at blanks ("Program Files"): the
  // short form has none.
  if (path.find(' ') != std::string::npos) path = platform::ShortPath(path);
  return path;
}

std::string BridgeDefaultsText(const TBridgeSettings& Settings,
                               const std::string& TransportProgram) {
  const std::vector<TBridgeLine> lines = Settings.ActiveLines();
  if (lines.empty()) return "";
  std::string text = "UseBridges 1\r\n";
  if (UsesObfs4(lines)) text += "ClientTransportPlugin obfs4 exec " + TransportProgram + "\r\n";
  for (const TBridgeLine& line : lines) text += "Bridge " + line.Text() + "\r\n";
  return text;
}

bool WriteBridgeDefaults(const std::string& EngineFolder, const TBridgeSettings& Settings) {
  const std::string folder = platform::IncludeTrailingDelimiter(EngineFolder);
  const std::string path = folder + kBridgeDefaultsFileName;
  const std::string program = Obfs4ProxyPath(folder);
  // The engine splits the plug-in line at blanks: a program path with one
  // would be cut short, and the engine would refuse its settings.
  if (!Settings.ActiveLines().empty() && program.find(' ') != std::string::npos) {
    LogMessage("The transport program's path holds a blank: " + program, kSource);
  }
  if (!platform::ReplaceFileAtomically(
          path, platform::Utf8ToAnsi(BridgeDefaultsText(Settings, program)))) {
    LogMessage("Cannot write " + path + ". " + SysErrorText(platform::LastError()), kSource);
    return false;
  }
  return true;
}

std::string ControlQuoted(std::string_view Value) {
  std::string out = "\"";
  for (char c : Value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string BridgeSetconfCommand(const TBridgeSettings& Settings,
                                 const std::string& TransportProgram) {
  const std::vector<TBridgeLine> lines = Settings.ActiveLines();
  if (lines.empty()) return "SETCONF UseBridges=0";
  std::string command = "SETCONF UseBridges=1";
  if (UsesObfs4(lines)) {
    command += " ClientTransportPlugin=" + ControlQuoted("obfs4 exec " + TransportProgram);
  }
  for (const TBridgeLine& line : lines) command += " Bridge=" + ControlQuoted(line.Text());
  return command;
}
