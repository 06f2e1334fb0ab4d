// Any bytes as the POSIX registry stand-in's file: reading never fails, and
// what is written back reads as the same keys and values.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/PosixRegistryText.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::posix;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const RegistryHive hive = ParseRegistryText(bytes);
  const std::string written = FormatRegistryText(hive);
  const RegistryHive again = ParseRegistryText(written);
  Check(again.size() == hive.size());
  Check(FormatRegistryText(again) == written);
  return 0;
}
