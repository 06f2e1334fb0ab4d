#include "platform/ErrorBox.h"

#include <cstdlib>

#include "platform/ErrorBoxInternal.h"
#include "platform/Files.h"

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
  const char* file = std::getenv("NIMBRA_ERROR_BOX_FILE");
  if (file != nullptr && file[0] != '\0') {
    AppendToFile(file, text + "\n");
    return;
  }
  internal::SystemErrorBox(caption, text);
}

}  // namespace platform
