#include "platform/Text.h"

#include <limits>

namespace platform {

namespace {

// Decodes one code point; malformed bytes decode as U+FFFD one byte at a time.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  const unsigned char lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int extra = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    return 0xFFFD;
  }
  if (i + extra > text.size()) return 0xFFFD;
  for (int k = 0; k < extra; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (c & 0x3F);
  }
  i += extra;
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  // One append per code point: appending byte by byte dominated the
  // language-file reader's time.
  char bytes[4];
  std::size_t count;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
    return;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    count = 4;
  }
  out.append(bytes, count);
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out[used++] = static_cast<char16_t>(text[i++]);
      continue;
    }
    const char32_t cp = NextCodePoint(text, i);
    // A four-byte sequence gives two units, so the output never outgrows
    // the input.
    if (cp >= 0x10000) {
      out[used++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out[used++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[used++] = static_cast<char16_t>(cp);
    }
  }
  out.resize(used);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string ReplaceMalformedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Well-formed runs are copied whole: a well-formed sequence is its own
  // shortest encoding.
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    if (NextCodePoint(text, i) == 0xFFFD) {
      out.append(text.data() + run, start - run);
      out.append("\xEF\xBF\xBD");
      run = i;
    }
  }
  out.append(text.data() + run, text.size() - run);
  return out;
}

std::optional<std::int32_t> ParseSignedDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
      return std::nullopt;
    }
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace platform
