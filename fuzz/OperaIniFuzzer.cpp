// Any bytes as an opera6.ini through the Opera rewrite: decoding, the
// private-profile edits of the five proxy values and encoding. What was
// written reads back after a new decode, and a second rewrite with the same
// values changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "activators/ProfileIni.h"
#include "activators/TextFiles.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void Exchange(TProfileIni& Ini, std::int32_t UseHTTP, const std::string& Server) {
  Ini.ReadInteger("Proxy", "Use HTTP", 0);
  Ini.ReadString("Proxy", "HTTP server", "");
  Ini.ReadInteger("Proxy", "Use Automatic Proxy Configuration", 0);
  Ini.WriteInteger("Proxy", "Use HTTP", UseHTTP);
  Ini.WriteString("Proxy", "HTTP server", Server);
  Ini.WriteInteger("Proxy", "Use HTTPS", UseHTTP);
  Ini.WriteString("Proxy", "HTTPS server", Server);
  Ini.WriteInteger("Proxy", "Use Automatic Proxy Configuration", 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte picks the server text, so values of every kind are tried
  // (text as a caller has it: ASCII, control characters included).
  std::string server = "127.0.0.1:35489";
  if (size > 0 && (data[0] & 1)) {
    server.clear();
    for (const char c : bytes.substr(0, 40)) {
      if (static_cast<unsigned char>(c) < 0x80) server += c;
    }
  }
  TProfileIni ini("opera6.ini", DecodeTextFile(bytes));
  Exchange(ini, 1, server);
  const std::string written = EncodeTextFile(ini.File());

  TProfileIni back("opera6.ini", DecodeTextFile(written));
  Check(back.ReadInteger("Proxy", "Use HTTP", 7) == 1);
  Check(back.ReadInteger("Proxy", "Use Automatic Proxy Configuration", 7) == 0);
  // Where the encoding carries the text unchanged, every value reads back
  // as it read before the file was written.
  if (EncodeTextFile(back.File()) == written) {  // reading has not changed it
    Check(back.ReadString("Proxy", "HTTP server", "") ==
          ini.ReadString("Proxy", "HTTP server", ""));
    Check(back.ReadString("Proxy", "HTTPS server", "") ==
          ini.ReadString("Proxy", "HTTPS server", ""));
  }
  Exchange(back, 1, server);
  Check(EncodeTextFile(back.File()) == written);
  return 0;
}
