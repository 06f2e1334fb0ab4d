// The Nimbra program's entry.
#include "core/InitFinal.h"
#include "platform/Gui.h"

int main() {
  std::unique_ptr<gui::GuiSystem> gui = gui::CreateDefaultGui();
  return RunNimbra(*gui);
}
