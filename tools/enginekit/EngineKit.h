// What the engine libraries share: the exported entry point and the reading
// of the settings file they are started with (the engine's configuration
// syntax: one "Keyword value" per line).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Abi.h"
#include "platform/Files.h"
#include "platform/Text.h"

#ifdef _WIN32
#define ENGINE_EXPORT extern "C" __declspec(dllexport)
#else
#define ENGINE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Runs the engine on the calling thread with the settings file at
// `settings_path` (8-bit text in the system's ANSI code page); returns when
// the engine has stopped, leaving nothing of it running.
ENGINE_EXPORT void PLATFORM_CDECL dll_start(const char* settings_path);

namespace enginekit {

struct Setting {
  std::string keyword;
  std::string value;  // UTF-8
};

// The settings in file order; nothing when the file cannot be read. Blank
// lines and "#" comments are skipped, a CR before the LF is dropped.
inline std::optional<std::vector<Setting>> ReadSettings(const std::string& path) {
  const std::optional<std::string> bytes = platform::ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  const std::string text = platform::AnsiToUtf8(*bytes);
  std::vector<Setting> settings;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::size_t gap = line.find_first_of(" \t", first);
    Setting setting;
    setting.keyword =
        line.substr(first, gap == std::string::npos ? std::string::npos : gap - first);
    if (gap != std::string::npos) {
      const std::size_t value = line.find_first_not_of(" \t", gap);
      if (value != std::string::npos) setting.value = line.substr(value);
    }
    settings.push_back(std::move(setting));
  }
  return settings;
}

// The last value given for `keyword` (compared without regard to case, as
// the engine does), or nothing.
inline std::optional<std::string> Find(const std::vector<Setting>& settings,
                                       const std::string& keyword) {
  std::optional<std::string> found;
  for (const Setting& setting : settings) {
    if (setting.keyword.size() != keyword.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < keyword.size() && same; ++i) {
      same = (setting.keyword[i] | 0x20) == (keyword[i] | 0x20);
    }
    if (same) found = setting.value;
  }
  return found;
}

// The port of a "port" or "address:port" value; nothing when it is not a
// number from 0 to 65535.
inline std::optional<std::uint16_t> PortOf(const std::string& value) {
  const std::size_t colon = value.rfind(':');
  const std::string digits = colon == std::string::npos ? value : value.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(number);
}

}  // namespace enginekit
