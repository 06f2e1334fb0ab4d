// The first-run tutorial: one skinned page. Its creation is also when the
// skins of all windows are loaded and the start-up actions run.
#pragma once

#include "ui/Forms.h"

class TTutorialForm : public TSkinForm {
 public:
  explicit TTutorialForm(gui::GuiSystem& Gui);
  // Sets the outline, loads every window's skin and runs the start-up
  // actions (the tutorial on a first run, anonymity on, auto-switching on).
  // A picture that cannot be read stops it there.
  void FormCreate();

  TImage& back;
  TJvImage& ok_button;
  TJvImage& exit_button;

 private:
  void Close() { Window().EndModal(1); }
};

extern TTutorialForm* TutorialForm;
