// How a control connection proves itself to the engine, as its settings file
// asks: with the cookie the engine writes into its data directory
// ("CookieAuthentication 1"), sent as hexadecimal text, or without
// credentials when the settings ask for none. Header-only: the engine
// libraries of tools/ share it without linking the program's logic.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Text.h"

namespace engine_auth {

// The engine's cookie: exactly this many random bytes.
inline constexpr std::size_t kCookieLength = 32;
// Its file name in the data directory when the settings name no file.
inline constexpr char kCookieFileName[] = "control_auth_cookie";

struct TControlAuth {
  bool Cookie = false;     // "CookieAuthentication 1"
  std::string CookieFile;  // as the settings give it (may be a path of another system)
};

namespace detail {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace detail

// What the settings text (the engine's configuration syntax: "Keyword value"
// per line, "#" comments, keywords without regard to case, the last one
// counting) asks of a control connection. `separator` joins the data
// directory and the cookie's file name.
inline TControlAuth ParseControlAuth(std::string_view text, char separator) {
  TControlAuth auth;
  std::string data_directory;
  std::string cookie_file;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && detail::IsBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && detail::IsBlank(line.back())) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t gap = 0;
    while (gap < line.size() && !detail::IsBlank(line[gap])) ++gap;
    const std::string_view keyword = line.substr(0, gap);
    std::string_view value = line.substr(gap);
    while (!value.empty() && detail::IsBlank(value.front())) value.remove_prefix(1);
    if (platform::SameTextAscii(keyword, "CookieAuthentication")) {
      auth.Cookie = value == "1";
    } else if (platform::SameTextAscii(keyword, "CookieAuthFile")) {
      cookie_file = std::string(value);
    } else if (platform::SameTextAscii(keyword, "DataDirectory")) {
      data_directory = std::string(value);
    }
  }
  if (!cookie_file.empty()) {
    auth.CookieFile = cookie_file;
  } else if (!data_directory.empty()) {
    if (data_directory.back() != '/' && data_directory.back() != '\\') data_directory += separator;
    auth.CookieFile = data_directory + kCookieFileName;
  }
  return auth;
}

// The bytes as upper-case hexadecimal text, two digits a byte.
inline std::string HexText(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace engine_auth
