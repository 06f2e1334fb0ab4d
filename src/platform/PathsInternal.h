// What each platform's file provides to the shared path code.
#pragma once

#include <string>

#include "platform/Paths.h"

namespace platform::internal {

std::string SystemSpecialFolder(SpecialFolder folder);
bool MakeDirectory(const std::string& path);

}  // namespace platform::internal
