#include "platform/Resources.h"
#include "platform/ResourcesInternal.h"

namespace platform {

std::optional<std::string_view> FindProgramResource(const std::string& name) {
  return internal::FindEmbeddedResource(name);
}

}  // namespace platform
