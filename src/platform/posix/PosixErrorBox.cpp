#include <cstdio>

#include "platform/ErrorBoxInternal.h"

namespace platform::internal {

void SystemErrorBox(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace platform::internal
