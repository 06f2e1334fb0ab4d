#include "activators/TextFiles.h"

#include <atomic>
#include <mutex>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEBom = "\xFF\xFE";
constexpr std::string_view kUtf16BEBom = "\xFE\xFF";
constexpr std::string_view kCrLf = "\r\n";
// What the encoder gathers before it hands a piece on.
constexpr std::size_t kEncoderChunk = 1 << 16;

std::mutex g_hook_mutex;
std::function<std::uint32_t(const std::string&)> g_write_hook;
std::atomic<std::size_t> g_size_limit{kMaxTextFileSize};

std::string Reason(std::uint32_t Code) {
  std::string text = platform::SystemErrorMessage(Code);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(Code) : text;
}

// Where each line of `Text` lies; lines end at CR LF, CR or LF.
std::vector<TTextLines::TSpan> LineSpans(std::string_view Text) {
  std::vector<TTextLines::TSpan> spans;
  std::size_t start = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\r' && c != '\n') continue;
    spans.push_back({start, i - start});
    if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < Text.size()) spans.push_back({start, Text.size() - start});
  return spans;
}

std::vector<std::string> SplitLines(std::string_view Text) {
  std::vector<std::string> lines;
  for (const TTextLines::TSpan& span : LineSpans(Text)) {
    lines.emplace_back(Text.substr(span.Start, span.Length));
  }
  return lines;
}

// Windows writes CR LF after every line; elsewhere a file keeps its own line
// end, so that a rewrite changes only the lines it means to.
std::string LineEndOf(std::string_view Text) {
  if (platform::kPathDelim == '\\') return std::string(kCrLf);
  const std::size_t at = Text.find_first_of("\r\n");
  if (at == std::string_view::npos) return std::string(kCrLf);
  if (Text[at] == '\n') return "\n";
  return at + 1 < Text.size() && Text[at + 1] == '\n' ? std::string(kCrLf) : "\r";
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
  const std::size_t at = Out.size();
  Out.resize(at + 2 * Text.size());
  char* out = Out.data() + at;
  const int first = BigEndian ? 8 : 0;
  for (const char16_t unit : Text) {
    *out++ = static_cast<char>(unit >> first);
    *out++ = static_cast<char>(unit >> (8 - first));
  }
}

bool IsAscii(std::string_view Text) {
  for (const char c : Text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Whether the code page carries the bytes unchanged there and back.
bool AnsiKeeps(std::string_view Bytes) {
  return IsAscii(Bytes) || platform::Utf8ToAnsi(platform::AnsiToUtf8(Bytes)) == Bytes;
}

std::string_view BomOf(TTextEncoding Encoding) {
  switch (Encoding) {
    case TTextEncoding::Utf8:
      return kUtf8Bom;
    case TTextEncoding::Utf16LE:
      return kUtf16LEBom;
    case TTextEncoding::Utf16BE:
      return kUtf16BEBom;
    default:
      return {};
  }
}

// Reads the file whole, as a settings file may be read: a regular file of at
// most the size limit.
std::string ReadSettingsFile(const std::string& FileName) {
  std::string bytes;
  const std::size_t limit = g_size_limit.load();
  switch (platform::ReadRegularFile(FileName, limit, bytes)) {
    case platform::RegularFileRead::Ok:
      return bytes;
    case platform::RegularFileRead::NotRegular:
      throw ENotRegularFile("\"" + FileName + "\" is not a regular file");
    case platform::RegularFileRead::TooLarge:
      throw EFileReadError("\"" + FileName + "\" is larger than " + std::to_string(limit) +
                           " bytes; left as it is");
    case platform::RegularFileRead::Failed:
      break;
  }
  throw EFileReadError("Cannot read \"" + FileName + "\": " + Reason(platform::LastError()));
}

}  // namespace

TTextFile DecodeTextFile(std::string_view Bytes) {
  TTextFile file;
  if (Bytes.substr(0, 3) == kUtf8Bom) {
    file.Encoding = TTextEncoding::Utf8;
    file.Lines = SplitLines(Bytes.substr(3));
    file.LineEnd = LineEndOf(Bytes.substr(3));
  } else if (Bytes.substr(0, 2) == kUtf16LEBom || Bytes.substr(0, 2) == kUtf16BEBom) {
    const bool big_endian = Bytes.substr(0, 2) == kUtf16BEBom;
    file.Encoding = big_endian ? TTextEncoding::Utf16BE : TTextEncoding::Utf16LE;
    const std::string text = platform::Utf16ToUtf8(FromUtf16Bytes(Bytes.substr(2), big_endian));
    file.Lines = SplitLines(text);
    file.LineEnd = LineEndOf(text);
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
    file.LineEnd = LineEndOf(Bytes);
  }
  return file;
}

std::string EncodeTextFile(const TTextFile& File) {
  std::size_t size = 0;
  for (const std::string& line : File.Lines) size += line.size() + File.LineEnd.size();
  std::string text;
  text.reserve(size);
  for (const std::string& line : File.Lines) {
    text += line;
    text += File.LineEnd;
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
  return DecodeTextFile(ReadSettingsFile(FileName));
}

namespace {

std::uint32_t HookRefusal(const std::string& FileName) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  return g_write_hook ? g_write_hook(FileName) : 0;
}

[[noreturn]] void ThrowWriteError(const std::string& FileName, std::uint32_t Code) {
  throw EFileWriteError("Cannot write \"" + FileName + "\": " + Reason(Code));
}

}  // namespace

void SaveTextFile(const std::string& FileName, const TTextFile& File) {
  std::uint32_t refused = HookRefusal(FileName);
  if (refused == 0 && platform::ReplaceFileAtomically(FileName, EncodeTextFile(File))) return;
  if (refused == 0) refused = platform::LastError();
  ThrowWriteError(FileName, refused);
}

std::string LoadSettingsFileBytes(const std::string& FileName) {
  return ReadSettingsFile(FileName);
}

void SaveSettingsFileBytes(const std::string& FileName, std::string_view Bytes) {
  std::uint32_t refused = HookRefusal(FileName);
  if (refused == 0 && platform::ReplaceFileAtomically(FileName, Bytes)) return;
  if (refused == 0) refused = platform::LastError();
  ThrowWriteError(FileName, refused);
}

// ---- lines without copies

std::string TTextLines::ToUtf8(std::string_view Line) const {
  if (Encoding == TTextEncoding::Ansi && !IsAscii(Line)) return platform::AnsiToUtf8(Line);
  return std::string(Line);
}

TTextLines DecodeTextLines(std::string Bytes) {
  TTextLines lines;
  if (std::string_view(Bytes).substr(0, 3) == kUtf8Bom) {
    lines.Encoding = TTextEncoding::Utf8;
    Bytes.erase(0, 3);
    lines.Text = std::move(Bytes);
  } else if (std::string_view(Bytes).substr(0, 2) == kUtf16LEBom ||
             std::string_view(Bytes).substr(0, 2) == kUtf16BEBom) {
    const bool big_endian = std::string_view(Bytes).substr(0, 2) == kUtf16BEBom;
    lines.Encoding = big_endian ? TTextEncoding::Utf16BE : TTextEncoding::Utf16LE;
    std::u16string units = FromUtf16Bytes(std::string_view(Bytes).substr(2), big_endian);
    std::string().swap(Bytes);  // the raw bytes are no longer needed
    lines.Text = platform::Utf16ToUtf8(units);
  } else {
    lines.Text = std::move(Bytes);
  }
  lines.LineEnd = LineEndOf(lines.Text);
  lines.Spans = LineSpans(lines.Text);
  if (lines.Encoding == TTextEncoding::Ansi) {
    // Line by line, as the whole file need not fit twice: one line the code
    // page cannot carry keeps every line as it is.
    for (std::size_t i = 0; i < lines.Count(); ++i) {
      if (!AnsiKeeps(lines.Line(i))) {
        lines.Encoding = TTextEncoding::Verbatim;
        break;
      }
    }
  }
  return lines;
}

TTextLines LoadTextLines(const std::string& FileName) {
  return DecodeTextLines(ReadSettingsFile(FileName));
}

TTextEncoder::TTextEncoder(TTextEncoding Encoding, std::string LineEnd,
                           std::function<void(std::string_view)> Out)
    : FEncoding(Encoding), FLineEnd(std::move(LineEnd)), FOut(std::move(Out)) {
  Put(BomOf(FEncoding));
}

TTextEncoder::~TTextEncoder() = default;

void TTextEncoder::Put(std::string_view Bytes) {
  FBuffer.append(Bytes);
  if (FBuffer.size() >= kEncoderChunk) Flush();
}

void TTextEncoder::FileLine(std::string_view Line) {
  if (FEncoding == TTextEncoding::Utf16LE || FEncoding == TTextEncoding::Utf16BE) {
    ProgramLine(Line);  // held in UTF-8
    return;
  }
  // The file's own bytes go back as they were.
  Put(Line);
  Put(FLineEnd);
}

void TTextEncoder::ProgramLine(std::string_view Utf8Line) {
  switch (FEncoding) {
    case TTextEncoding::Ansi:
      Put(IsAscii(Utf8Line) ? std::string(Utf8Line) : platform::Utf8ToAnsi(Utf8Line));
      Put(FLineEnd);
      break;
    case TTextEncoding::Verbatim:
    case TTextEncoding::Utf8:
      Put(Utf8Line);
      Put(FLineEnd);
      break;
    case TTextEncoding::Utf16LE:
    case TTextEncoding::Utf16BE: {
      std::string bytes;
      const bool big_endian = FEncoding == TTextEncoding::Utf16BE;
      AppendUtf16Bytes(bytes, platform::Utf8ToUtf16(Utf8Line), big_endian);
      AppendUtf16Bytes(bytes, platform::Utf8ToUtf16(FLineEnd), big_endian);
      Put(bytes);
      break;
    }
  }
}

void TTextEncoder::Flush() {
  if (FBuffer.empty()) return;
  FOut(FBuffer);
  FBuffer.clear();
}

void SaveTextLines(const std::string& FileName, TTextEncoding Encoding, const std::string& LineEnd,
                   const std::function<void(TTextEncoder&)>& Produce) {
  if (const std::uint32_t refused = HookRefusal(FileName)) ThrowWriteError(FileName, refused);
  platform::AtomicFileWriter writer;
  if (!writer.Open(FileName)) ThrowWriteError(FileName, platform::LastError());
  {
    // A failed piece fails the writer, and with it the Commit below.
    TTextEncoder encoder(Encoding, LineEnd, [&](std::string_view bytes) { writer.Write(bytes); });
    Produce(encoder);
    encoder.Flush();
  }
  if (!writer.Commit()) ThrowWriteError(FileName, platform::LastError());
}

void SetTextFileWriteHookForTesting(std::function<std::uint32_t(const std::string&)> Hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  g_write_hook = std::move(Hook);
}

void SetTextFileSizeLimitForTesting(std::size_t Limit) {
  g_size_limit = Limit == 0 ? kMaxTextFileSize : Limit;
}
