// Text conversions at the operating-system boundary. Inside the program all
// text is UTF-8; these turn it into what a system call wants and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// UTF-16 code units as the Windows wide API expects them.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The text with each malformed byte (a stray continuation, a truncated or
// overlong sequence, an encoded surrogate, past U+10FFFF) replaced by U+FFFD:
// what a round trip through UTF-16 gives, without building the UTF-16.
std::string ReplaceMalformedUtf8(std::string_view text);

// The system's ANSI code page (8-bit text of files and of C strings handed to
// libraries). On POSIX the ANSI code page is UTF-8, so both are identity.
std::string Utf8ToAnsi(std::string_view text);
std::string AnsiToUtf8(std::string_view text);

// Equal but for the case of ASCII letters: keywords and section names of
// the text files the program reads are compared so. Inline: the engine
// libraries use it without linking the platform layer.
inline bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Decimal text with an optional minus sign as a 32-bit integer; nothing when
// the text is empty, holds anything else or does not fit.
std::optional<std::int32_t> ParseSignedDecimal(std::string_view text);

}  // namespace platform
