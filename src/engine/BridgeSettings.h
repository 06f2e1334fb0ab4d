// The user's bridge choice, kept in options.ini in a section of its own,
// and the two ways it reaches the engine: the defaults file read at the
// engine's start (so that its very first connection already goes to a
// bridge) and a SETCONF for an engine that is running.
//
// options.ini:
//   [Bridges]
//   Enabled=1            0 or 1
//   Source=custom        "builtin" (the shipped obfs4 bridges) or "custom"
//   Count=2              how many LineN keys follow
//   Line1=obfs4 ...      the user's lines, one key each, as the checker
//   Line2=...            rebuilt them (never the raw text)
// Nothing is stored unless every line passed the checker.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/BridgeLines.h"

enum class TBridgeSource { BuiltIn, Custom };

struct TBridgeSettings {
  bool Enabled = false;
  TBridgeSource Source = TBridgeSource::BuiltIn;
  std::vector<TBridgeLine> CustomLines;

  // The bridges in force: none when off, else the built-in or the custom ones.
  std::vector<TBridgeLine> ActiveLines() const;
  // The custom lines as the options page shows them, one per line (CR LF).
  std::string CustomText() const;
};

// The file the engine library passes as its defaults file, in the engine
// folder beside the settings file.
inline constexpr char kBridgeDefaultsFileName[] = "anon_defaults";

// Reads section "Bridges" of `OptionsFile` (options.ini in the data folder
// when empty). Never raises: a missing file gives bridges off; a stored line
// the checker refuses (someone edited the file) is logged and left out.
TBridgeSettings LoadBridgeSettings(const std::string& OptionsFile = "");

// Checks `CustomText` and, when every line passes, stores the choice.
// With a fault nothing is written. A write failure raises EIniFileError.
// Bridges on with the custom source need at least one line.
TBridgeCheck SaveBridgeSettings(bool Enabled, TBridgeSource Source, std::string_view CustomText,
                                const std::string& OptionsFile = "");

// The transport program for obfs4 bridges: obfs4proxy beside the engine
// library, else beside the program; in its short form when the path holds
// a blank, which the engine's plug-in line cannot carry.
std::string Obfs4ProxyPath(const std::string& EngineFolder);

// The defaults file's text for `Settings`: empty when bridges are off, else
// "UseBridges 1", the transport plug-in line when an obfs4 bridge is in use,
// and one "Bridge" line each, CR LF ended.
std::string BridgeDefaultsText(const TBridgeSettings& Settings,
                               const std::string& TransportProgram);

// Writes the defaults file into `EngineFolder` atomically; false (logged)
// when it cannot be written.
bool WriteBridgeDefaults(const std::string& EngineFolder, const TBridgeSettings& Settings);

// The control-port command that brings a running engine to `Settings`:
// "SETCONF UseBridges=1 ClientTransportPlugin=\"...\" Bridge=\"...\"..." or
// "SETCONF UseBridges=0". Values are quoted with '\\' and '"' escaped.
std::string BridgeSetconfCommand(const TBridgeSettings& Settings,
                                 const std::string& TransportProgram);

// A control-protocol quoted string.
std::string ControlQuoted(std::string_view Value);
