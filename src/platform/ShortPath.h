// The file system's short form of a path, for programs that split their
// arguments at blanks. Implemented beside the other path services.
#pragma once

#include <string>

namespace platform {

// The short form of an existing path (8.3 names on Windows, which hold no
// blanks where the volume keeps them); the path itself elsewhere or when the
// system has none.
std::string ShortPath(const std::string& path);

}  // namespace platform
