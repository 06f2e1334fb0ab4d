// The Nimbra program's entry.
#include "app/InitFinal.h"
#include "platform/gui/Gui.h"

int main() {
  std::unique_ptr<gui::GuiSystem> gui = gui::CreateDefaultGui();
  return RunNimbra(ProgramSeamsFromEnvironment(*gui));
}
