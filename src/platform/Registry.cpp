// Registry code shared by both implementations.
#include "platform/Registry.h"

#include <mutex>

#include "platform/RegistryInternal.h"

namespace platform {

namespace {
std::mutex g_hook_mutex;
std::function<std::uint32_t(const std::string&, const std::string&)> g_write_hook;
}  // namespace

void SetRegistryWriteHookForTesting(
    std::function<std::uint32_t(const std::string&, const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  g_write_hook = std::move(hook);
}

namespace internal {
std::uint32_t RegistryWriteRefusal(const std::string& key_path, const std::string& value_name) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  return g_write_hook ? g_write_hook(key_path, value_name) : 0;
}
}  // namespace internal

}  // namespace platform
