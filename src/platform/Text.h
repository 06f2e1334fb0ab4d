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

// The system's ANSI code page (8-bit text of files and of C strings handed to
// libraries). On POSIX the ANSI code page is UTF-8, so both are identity.
std::string Utf8ToAnsi(std::string_view text);
std::string AnsiToUtf8(std::string_view text);

// Decimal text with an optional minus sign as a 32-bit integer; nothing when
// the text is empty, holds anything else or does not fit.
std::optional<std::int32_t> ParseSignedDecimal(std::string_view text);

}  // namespace platform
