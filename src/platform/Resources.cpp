#include "platform/Resources.h"

#include <map>
#include <mutex>

#include "platform/ResourcesInternal.h"

namespace platform {

namespace {

// Filled by static constructors, so it is built on first use.
struct EmbeddedTable {
  std::mutex mutex;
  std::map<std::string, std::string_view> entries;
};

EmbeddedTable& Table() {
  static EmbeddedTable table;
  return table;
}

}  // namespace

EmbeddedResource::EmbeddedResource(const char* name, const unsigned char* data, std::size_t size) {
  EmbeddedTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.entries[name] = std::string_view(reinterpret_cast<const char*>(data), size);
}

namespace internal {

std::optional<std::string_view> FindEmbeddedResource(const std::string& name) {
  EmbeddedTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.entries.find(name);
  if (it == table.entries.end()) return std::nullopt;
  return it->second;
}

}  // namespace internal

}  // namespace platform
