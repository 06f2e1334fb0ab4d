// The first-run tutorial: one skinned page, shown modally by the start-up
// actions on a first run.
#pragma once

#include "ui/Forms.h"

class TTutorialForm : public TSkinForm {
 public:
  explicit TTutorialForm(gui::GuiSystem& Gui);
  // Sets the outline.
  void FormCreate();
  // Its start-up pictures; raises at the first that cannot be read.
  void LoadSkins();
  // Shows the page modally until either button closes it.
  void ShowModal() { Window().ShowModal(); }

  TImage& back;
  TJvImage& ok_button;
  TJvImage& exit_button;

 private:
  void Close() { Window().EndModal(1); }
};
