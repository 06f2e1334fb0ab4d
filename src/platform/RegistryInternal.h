#pragma once

#include <cstdint>
#include <string>

namespace platform::internal {

// The error a test wants this value write refused with, or 0.
std::uint32_t RegistryWriteRefusal(const std::string& key_path, const std::string& value_name);

}  // namespace platform::internal
