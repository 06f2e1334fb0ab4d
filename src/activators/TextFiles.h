// Settings files of other programs as lists of text lines: read whole, in the
// encoding their byte-order mark names (UTF-8, UTF-16) or else the ANSI code
// page, and written back whole in the same encoding, every line ended by
// CR LF, by writing a new file beside the old one and then replacing it.
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

struct TTextFile {
  TTextEncoding Encoding = TTextEncoding::Ansi;
  std::vector<std::string> Lines;  // UTF-8 (Verbatim: the file's own bytes)
};

// Lines end at CR LF, CR or LF; a last line without an ending still counts.
TTextFile DecodeTextFile(std::string_view Bytes);
std::string EncodeTextFile(const TTextFile& File);

// Raise EFileReadError / EFileWriteError naming the file.
TTextFile LoadTextFile(const std::string& FileName);
void SaveTextFile(const std::string& FileName, const TTextFile& File);

// Tests make saves fail where the system would let them through (the tests
// run as root): the hook gets the file name and returns 0 to let the save
// through or the system error code to refuse it with. Empty removes it.
void SetTextFileWriteHookForTesting(std::function<std::uint32_t(const std::string&)> Hook);
