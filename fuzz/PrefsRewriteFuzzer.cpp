// Any bytes as a Firefox prefs.js through both rewrites: decoding, the PCRE
// patterns and the streamed encoder. Activate ends the file with its own
// lines; Deactivate leaves no proxy line; a second Deactivate changes
// nothing more.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "activators/FirefoxPrefs.h"
#include "activators/TextFiles.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string Rewrite(const TTextLines& File, const std::function<void(TTextEncoder&)>& Produce) {
  std::string out;
  TTextEncoder encoder(File.Encoding, File.LineEnd, [&](std::string_view b) { out.append(b); });
  Produce(encoder);
  encoder.Flush();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TFirefoxPatterns patterns;
  static const auto appended = FirefoxActivateLines("127.0.0.1", "35489", "127.0.0.1", "35491");
  const TTextLines file = DecodeTextLines(std::string(reinterpret_cast<const char*>(data), size));

  TFirefoxProxySettings saved;
  const std::string activated = Rewrite(file, [&](TTextEncoder& out) {
    saved = RewritePrefsForActivate(file, patterns, appended, out);
  });
  const TTextLines again = DecodeTextLines(activated);
  // A kept line that now comes first may look like a byte-order mark and so
  // be read in another encoding: the line checks need the same one.
  if (again.Encoding == file.Encoding) {
    Check(again.Count() >= appended.size());
    for (std::size_t i = 0; i < appended.size(); ++i) {
      Check(again.ToUtf8(again.Line(again.Count() - appended.size() + i)) == appended[i]);
    }
    std::string group;
    for (std::size_t i = 0; i + appended.size() < again.Count(); ++i) {
      Check(patterns.Match(again.Line(i), group) < 0);
    }
  }

  // Deactivate with the saved values puts them back as lines of their own;
  // a second Deactivate of that file, with the same values, changes nothing.
  const std::string restored =
      Rewrite(again, [&](TTextEncoder& out) { RewritePrefsForDeactivate(again, saved, out); });
  const TTextLines restored_file = DecodeTextLines(restored);
  if (restored_file.Encoding == again.Encoding) {
    const std::string twice = Rewrite(restored_file, [&](TTextEncoder& out) {
      RewritePrefsForDeactivate(restored_file, saved, out);
    });
    Check(twice == restored);
  }
  return 0;
}
