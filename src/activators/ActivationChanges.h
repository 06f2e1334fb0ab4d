// What an activation replaces, target by target: enough to put each
// browser's own settings back exactly, even from another process. The
// activators report these (Plan, and their observer before each change),
// the proxy journal keeps them, RestoreActivation puts them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "activators/FirefoxPrefs.h"
#include "platform/Registry.h"

// Files larger than this are not kept whole: they are put back line by line.
inline constexpr std::size_t kChangeOriginalLimit = std::size_t{4} << 20;

// One registry value as it stood: missing, or its type and data.
struct TRegistryValueBefore {
  std::string Name;
  bool Existed = false;
  platform::RegValue Value;
};

// The system proxy: the two values Activate writes, in the registry view it
// writes them in.
struct TSystemProxyChange {
  bool View64 = false;
  std::vector<TRegistryValueBefore> Before;  // ProxyEnable, ProxyServer
  std::uint32_t WrittenEnable = 1;
  std::string WrittenServer;
};

enum class TSettingsFileKind { Opera, Firefox };

// One key of opera6.ini's "Proxy" section.
struct TOperaKeyBefore {
  std::string Key;
  bool Existed = false;
  std::string Line;     // the key's whole line as it stood (UTF-8)
  std::string Written;  // the value Activate gives it
};

// One settings file, as it stood before Activate rewrote it.
struct TFileChange {
  TSettingsFileKind Kind = TSettingsFileKind::Firefox;
  std::string Path;
  // The whole file, byte for byte, when not larger than
  // kChangeOriginalLimit: it goes back as it was while nobody else has
  // written the file since.
  bool HasOriginal = false;
  std::string Original;
  // Opera: whether Activate adds the "Proxy" section (and an empty line
  // before it), and the five keys it writes, in order.
  bool SectionAdded = false;
  bool BlankLineAdded = false;
  std::vector<TOperaKeyBefore> Keys;
  // Firefox: the proxy lines Activate removes, in file order, and the lines
  // it appends.
  std::vector<TFirefoxProxyLine> Removed;
  std::vector<std::string> Appended;
};

struct TActivationChanges {
  std::optional<TSystemProxyChange> System;
  std::vector<TFileChange> Files;

  bool Empty() const { return !System && Files.empty(); }
};

bool operator==(const TRegistryValueBefore& a, const TRegistryValueBefore& b);
bool operator==(const TSystemProxyChange& a, const TSystemProxyChange& b);
bool operator==(const TOperaKeyBefore& a, const TOperaKeyBefore& b);
bool operator==(const TFileChange& a, const TFileChange& b);
bool operator==(const TActivationChanges& a, const TActivationChanges& b);

// Told before each change an activation makes, with what that change
// replaces. An exception it raises stops the activation before the change.
class TActivationObserver {
 public:
  virtual ~TActivationObserver() = default;
  virtual void BeforeChange(const TSystemProxyChange& Change) = 0;
  virtual void BeforeChange(const TFileChange& Change) = 0;
};
