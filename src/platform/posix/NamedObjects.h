// Where the POSIX stand-ins of the system's named objects (events, the exit
// codes of ended processes) lie: $NIMBRA_NAMED_OBJECTS, default /dev/shm.
#pragma once

#include <cstdlib>
#include <string>

namespace platform::posix {

inline std::string NamedObjectFolder() {
  const char* folder = std::getenv("NIMBRA_NAMED_OBJECTS");
  return folder != nullptr && *folder != 0 ? folder : "/dev/shm";
}

}  // namespace platform::posix
