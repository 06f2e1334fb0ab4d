// Data built into the running program: RCDATA resources on Windows; on other
// systems, byte arrays that generated sources register at start-up.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The bytes of the program's resource `name` (valid for the whole run), or
// nothing when the program holds none.
std::optional<std::string_view> FindProgramResource(const std::string& name);

// Registers embedded bytes under a name; generated sources define one of
// these at namespace scope. Only consulted where there are no resources.
class EmbeddedResource {
 public:
  EmbeddedResource(const char* name, const unsigned char* data, std::size_t size);
};

}  // namespace platform
