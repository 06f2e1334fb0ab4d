// The rewrite of one Firefox prefs.js: the proxy preferences are found by
// PCRE patterns line by line, removed, and the activator's own lines appended
// at the end. Every other line goes back as it was. Used by the Firefox
// activator and by the fuzz target.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "activators/TextFiles.h"

inline constexpr std::size_t kFirefoxPreferenceCount = 8;

// The values as they stood in the file (string preferences without their
// quotes), in UTF-8; empty when the file did not carry the preference.
struct TFirefoxProxySettings {
  std::string ProxyType;    // network.proxy.type
  std::string HTTP_Proxy;   // network.proxy.http
  std::string HTTP_Port;    // network.proxy.http_port
  std::string SSL_Proxy;    // network.proxy.ssl
  std::string SSL_Port;     // network.proxy.ssl_port
  std::string SOCKS_Proxy;  // network.proxy.socks
  std::string SOCKS_Port;   // network.proxy.socks_port
  std::string Remote_DNS;   // network.proxy.socks_remote_dns
};

// A proxy preference line as it stood in a file: which preference (its
// index in the table of eight, in the order of TFirefoxProxySettings) and
// the line's text in UTF-8.
struct TFirefoxProxyLine {
  std::uint32_t Preference = 0;
  std::string Text;
};
bool operator==(const TFirefoxProxyLine& a, const TFirefoxProxyLine& b);

// The eight compiled capture patterns, freed however the operation ends.
class TFirefoxPatterns {
 public:
  TFirefoxPatterns();
  ~TFirefoxPatterns();
  TFirefoxPatterns(const TFirefoxPatterns&) = delete;
  TFirefoxPatterns& operator=(const TFirefoxPatterns&) = delete;

  // The first pattern (in table order) that matches anywhere in `Line`, with
  // its group 1 in `Group`; -1 when none does.
  int Match(std::string_view Line, std::string& Group) const;

 private:
  struct TPattern;
  std::array<std::unique_ptr<TPattern>, kFirefoxPreferenceCount> FPatterns;
};

// The eight lines that point Firefox at the endpoint.
std::array<std::string, kFirefoxPreferenceCount> FirefoxActivateLines(
    const std::string& HTTP_Host, const std::string& HTTP_Port, const std::string& SOCKS_Host,
    const std::string& SOCKS_Port);

// Writes the file without its proxy lines, then `Appended`; returns the
// values of the removed lines (a preference's topmost occurrence wins) and
// adds every removed line to `Removed` when given.
TFirefoxProxySettings RewritePrefsForActivate(
    const TTextLines& File, const TFirefoxPatterns& Patterns,
    const std::array<std::string, kFirefoxPreferenceCount>& Appended, TTextEncoder& Out,
    std::vector<TFirefoxProxyLine>* Removed = nullptr);

// Writes the file without any line that names a proxy preference, then the
// saved values that are set (a proxy type of "0" is not written back).
void RewritePrefsForDeactivate(const TTextLines& File, const TFirefoxProxySettings& Saved,
                               TTextEncoder& Out);
