// Any bytes as an INI file for the POSIX implementation: reading never fails,
// an unchanged file is written back byte for byte, and a written value reads
// back, also after a new parse.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/IniFile.h"
#include "platform/IniFileInternal.h"
#include "platform/Text.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using platform::internal::IniDocument;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  IniDocument doc = IniDocument::Parse(bytes);
  Check(doc.Serialize() == bytes);

  for (const char* key : {"SwitchPeriod", "X_Action", "Autorun", ""}) {
    if (const std::optional<std::string> value = doc.Read("Options", key)) {
      Check(platform::Utf8ToUtf16(*value).size() <= platform::kIniMaxValueLength);
      platform::ParseIniInteger(*value);
    }
  }
  platform::ParseIniInteger(std::string(bytes));

  doc.Write("Options", "Fuzz", "value 1");
  Check(doc.Read("options", "FUZZ").value_or("") == "value 1");
  doc.Write("New section", "Key", "2");
  IniDocument again = IniDocument::Parse(doc.Serialize());
  Check(again.Read("Options", "Fuzz").value_or("") == "value 1");
  Check(again.Read("new section", "key").value_or("") == "2");
  Check(again.Delete("Options", "Fuzz"));
  return 0;
}
