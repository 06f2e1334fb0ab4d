// Any bytes as what the engine sends on its control port, cut into pieces
// as the network might deliver them: reply lines, the progress value, the
// log's escaping of the line, and any bytes as a settings file for the
// authentication it asks for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/Logger.h"
#include "engine/ControlAuth.h"
#include "engine/TorControl.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte sets the size of the pieces.
  const std::size_t piece = size > 0 ? 1 + data[0] % 64 : 1;
  TControlLineBuffer lines;
  std::size_t line_bytes = 0;
  try {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::string_view chunk = bytes.substr(at, piece);
      lines.Append(chunk.data(), chunk.size());
      while (std::optional<std::string> line = lines.TakeLine()) {
        Check(line->size() <= kMaxControlLine);
        Check(line->find('\n') == std::string::npos);
        for (const char c : *line) Check(static_cast<unsigned char>(c) <= 0x7F);
        line_bytes += line->size() + 1;
        if (const std::optional<int> progress = ProgressValue(*line)) {
          Check(line->find("PROGRESS=") != std::string::npos);
          (void)*progress;
        }
        const std::string logged = EscapeControlCharacters(*line);
        for (const char c : logged) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
      }
    }
    Check(lines.Pending() <= kMaxControlLine + 1 + piece);
  } catch (const ELineTooLong&) {
    // A line too long is the one error a reply may raise.
  }
  Check(line_bytes <= size);

  const engine_auth::TControlAuth auth = engine_auth::ParseControlAuth(bytes, '/');
  Check(auth.CookieFile.size() <= size + sizeof engine_auth::kCookieFileName);
  const std::string hex = engine_auth::HexText(bytes.substr(0, 32));
  Check(hex.size() == 2 * std::min<std::size_t>(size, 32));
  return 0;
}
