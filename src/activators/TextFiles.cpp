#include "activators/TextFiles.h"

#include <mutex>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEBom = "\xFF\xFE";
constexpr std::string_view kUtf16BEBom = "\xFE\xFF";

std::mutex g_hook_mutex;
std::function<std::uint32_t(const std::string&)> g_write_hook;

std::string Reason(std::uint32_t Code) {
  std::string text = platform::SystemErrorMessage(Code);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(Code) : text;
}

std::vector<std::string> SplitLines(std::string_view Text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(Text.substr(start, i - start));
    if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < Text.size()) lines.emplace_back(Text.substr(start));
  return lines;
}

std::u16string FromUtf16Bytes(std::string_view Bytes, bool BigEndian) {
  std::u16string text(Bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto a = static_cast<unsigned char>(Bytes[2 * i]);
    const auto b = static_cast<unsigned char>(Bytes[2 * i + 1]);
    text[i] = static_cast<char16_t>(BigEndian ? (a << 8) | b : (b << 8) | a);
  }
  return text;
}

void AppendUtf16Bytes(std::string& Out, std::u16string_view Text, bool BigEndian) {
  for (const char16_t unit : Text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    Out += BigEndian ? high : low;
    Out += BigEndian ? low : high;
  }
}

}  // namespace

TTextFile DecodeTextFile(std::string_view Bytes) {
  TTextFile file;
  if (Bytes.substr(0, 3) == kUtf8Bom) {
    file.Encoding = TTextEncoding::Utf8;
    file.Lines = SplitLines(Bytes.substr(3));
  } else if (Bytes.substr(0, 2) == kUtf16LEBom || Bytes.substr(0, 2) == kUtf16BEBom) {
    const bool big_endian = Bytes.substr(0, 2) == kUtf16BEBom;
    file.Encoding = big_endian ? TTextEncoding::Utf16BE : TTextEncoding::Utf16LE;
    file.Lines = SplitLines(platform::Utf16ToUtf8(FromUtf16Bytes(Bytes.substr(2), big_endian)));
  } else {
    std::string text = platform::AnsiToUtf8(Bytes);
    // A code page that cannot carry every byte of the file (text in another
    // encoding, a multi-byte code page) would damage the lines this program
    // does not touch: keep them byte for byte instead.
    if (platform::Utf8ToAnsi(text) != Bytes) {
      file.Encoding = TTextEncoding::Verbatim;
      text.assign(Bytes);
    }
    file.Lines = SplitLines(text);
  }
  return file;
}

std::string EncodeTextFile(const TTextFile& File) {
  std::size_t size = 0;
  for (const std::string& line : File.Lines) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& line : File.Lines) {
    text += line;
    text += "\r\n";
  }
  switch (File.Encoding) {
    case TTextEncoding::Ansi:
      return platform::Utf8ToAnsi(text);
    case TTextEncoding::Verbatim:
      return text;
    case TTextEncoding::Utf8:
      return std::string(kUtf8Bom) + text;
    case TTextEncoding::Utf16LE:
    case TTextEncoding::Utf16BE: {
      const bool big_endian = File.Encoding == TTextEncoding::Utf16BE;
      std::string bytes(big_endian ? kUtf16BEBom : kUtf16LEBom);
      AppendUtf16Bytes(bytes, platform::Utf8ToUtf16(text), big_endian);
      return bytes;
    }
  }
  return text;
}

TTextFile LoadTextFile(const std::string& FileName) {
  const auto bytes = platform::ReadWholeFile(FileName);
  if (!bytes) {
    throw EFileReadError("Cannot read \"" + FileName + "\": " + Reason(platform::LastError()));
  }
  return DecodeTextFile(*bytes);
}

void SaveTextFile(const std::string& FileName, const TTextFile& File) {
  std::uint32_t refused = 0;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    if (g_write_hook) refused = g_write_hook(FileName);
  }
  if (refused == 0 && platform::ReplaceFileAtomically(FileName, EncodeTextFile(File))) return;
  if (refused == 0) refused = platform::LastError();
  throw EFileWriteError("Cannot write \"" + FileName + "\": " + Reason(refused));
}

void SetTextFileWriteHookForTesting(std::function<std::uint32_t(const std::string&)> Hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  g_write_hook = std::move(Hook);
}
