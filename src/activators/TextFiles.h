// Settings files of other programs as lists of text lines: read whole, in the
// encoding their byte-order mark names (UTF-8, UTF-16) or else the ANSI code
// page, and written back whole in the same encoding, every line ended by
// CR LF on Windows and by the file's own line end elsewhere, by writing a new
// file beside the old one and then replacing it.
//
// Only regular files are read (a FIFO, a device or a folder of the name is
// no settings file), and only up to kMaxTextFileSize bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A settings file that was found but could not be read.
class EFileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A name that is not a regular file: callers skip it.
class ENotRegularFile : public EFileReadError {
 public:
  using EFileReadError::EFileReadError;
};

// A settings file that could not be written; the old file is left as it was.
class EFileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TTextEncoding {
  Ansi,      // no byte-order mark: the system's ANSI code page
  Verbatim,  // no byte-order mark, but bytes the code page cannot carry: kept as they are
  Utf8,      // EF BB BF
  Utf16LE,   // FF FE
  Utf16BE,   // FE FF
};

// The largest settings file read; a larger one is refused with an error and
// left as it is.
inline constexpr std::size_t kMaxTextFileSize = std::size_t{256} << 20;

struct TTextFile {
  TTextEncoding Encoding = TTextEncoding::Ansi;
  std::vector<std::string> Lines;  // UTF-8 (Verbatim: the file's own bytes)
  std::string LineEnd = "\r\n";    // written after every line
};

// Lines end at CR LF, CR or LF; a last line without an ending still counts.
// The line end to write is CR LF on Windows; elsewhere the file's first one
// (CR LF for a file without any).
TTextFile DecodeTextFile(std::string_view Bytes);
std::string EncodeTextFile(const TTextFile& File);

// Raise EFileReadError (ENotRegularFile for what is not a regular file) and
// EFileWriteError naming the file.
TTextFile LoadTextFile(const std::string& FileName);
void SaveTextFile(const std::string& FileName, const TTextFile& File);

// The file's bytes as they are, read as LoadTextFile reads them (same
// errors), and written back as they are, atomically (EFileWriteError).
std::string LoadSettingsFileBytes(const std::string& FileName);
void SaveSettingsFileBytes(const std::string& FileName, std::string_view Bytes);

// A file's lines without a copy of each: the file's text once, and where
// each line lies in it. For files of any size up to the limit, also in a
// 32-bit process.
struct TTextLines {
  TTextEncoding Encoding = TTextEncoding::Ansi;
  std::string LineEnd = "\r\n";
  // The file's own bytes after the byte-order mark; for UTF-16 files the
  // text in UTF-8.
  std::string Text;
  struct TSpan {
    std::size_t Start;
    std::size_t Length;
  };
  std::vector<TSpan> Spans;

  std::size_t Count() const { return Spans.size(); }
  std::string_view Line(std::size_t Index) const {
    return std::string_view(Text).substr(Spans[Index].Start, Spans[Index].Length);
  }
  // A line's text in UTF-8 (Verbatim lines as they are).
  std::string ToUtf8(std::string_view Line) const;
};

TTextLines DecodeTextLines(std::string Bytes);
TTextLines LoadTextLines(const std::string& FileName);

// Writes lines in a file's encoding, each followed by the line end, in
// pieces to `Out`.
class TTextEncoder {
 public:
  TTextEncoder(TTextEncoding Encoding, std::string LineEnd,
               std::function<void(std::string_view)> Out);
  ~TTextEncoder();
  // A line as TTextLines holds it.
  void FileLine(std::string_view Line);
  // A line of the program's own, in UTF-8.
  void ProgramLine(std::string_view Utf8Line);
  // Hands on what is still buffered.
  void Flush();

 private:
  void Put(std::string_view Bytes);
  TTextEncoding FEncoding;
  std::string FLineEnd;
  std::function<void(std::string_view)> FOut;
  std::string FBuffer;
};

// Replaces the file atomically with what `Produce` writes through the
// encoder (byte-order mark first, as the encoding has one). Raises
// EFileWriteError naming the file; the old file then stays as it was.
void SaveTextLines(const std::string& FileName, TTextEncoding Encoding, const std::string& LineEnd,
                   const std::function<void(TTextEncoder&)>& Produce);

// Tests make saves fail where the system would let them through (the tests
// run as root): the hook gets the file name and returns 0 to let the save
// through or the system error code to refuse it with. Empty removes it.
void SetTextFileWriteHookForTesting(std::function<std::uint32_t(const std::string&)> Hook);

// Tests lower the size limit (0 puts kMaxTextFileSize back).
void SetTextFileSizeLimitForTesting(std::size_t Limit);
