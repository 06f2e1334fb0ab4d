// Any bytes as one block from the companion service, walked as the window
// thread walks it: records in order, each header inside the block, lengths
// near 2^32 ending the walk instead of wrapping it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pipe/PipeProtocol.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kPipeBufferSize) size = kPipeBufferSize;  // a read delivers no more
  const auto block_size = static_cast<std::uint32_t>(size);
  // Where each record's header should lie, walked independently.
  std::vector<std::uint8_t> expected;
  for (std::uint64_t at = 0; at + 5 <= size;) {
    const std::uint64_t length = static_cast<std::uint64_t>(data[at]) | data[at + 1] << 8 |
                                 data[at + 2] << 16 |
                                 static_cast<std::uint64_t>(data[at + 3]) << 24;
    expected.push_back(data[at + 4]);
    at += 5 + length;
  }
  std::vector<std::uint8_t> seen;
  WalkPipeRecords(data, block_size, [&](std::uint8_t command) { seen.push_back(command); });
  Check(seen == expected);
  Check(seen.size() <= size / 5);
  return 0;
}
