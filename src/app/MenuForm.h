// The menu panel that slides out at the main window's left edge.
#pragma once

#include "ui/Forms.h"

class TMenuForm : public TSkinForm {
 public:
  explicit TMenuForm(gui::GuiSystem& Gui, gui::Window* Owner);
  void FormCreate();

  // Places the panel beside the main window at (Left, Top) with `Height`:
  // to its left, overlapping by one pixel, or below it where there is no
  // room on the left.
  void PlaceBeside(int Left, int Top, int Height);
  // Moves the panel by (DX, DY), shown or not.
  void MoveBy(int DX, int DY);

  TImage& back;
  TJvImage& options;
  TJvImage& help;
  TJvImage& exit_button;

 private:
  void exit_buttonClick();
};

extern TMenuForm* MenuForm;
