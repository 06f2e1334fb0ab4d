// The table of embedded resources behind Resources.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::internal {

std::optional<std::string_view> FindEmbeddedResource(const std::string& name);

}  // namespace platform::internal
