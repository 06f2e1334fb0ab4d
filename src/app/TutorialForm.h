// The first-run tutorial: one skinned page, shown modally by the start-up
// actions on a first run. Its picture holds the drawings; its texts are
// labels over it.
#pragma once

#include <vector>

#include "ui/Forms.h"

class TTutorialForm : public TSkinForm {
 public:
  explicit TTutorialForm(gui::GuiSystem& Gui);
  // Sets the outline.
  void FormCreate();
  // Its start-up pictures; raises at the first that cannot be read.
  void LoadSkins();
  // Lets its background picture go (the largest of all): the page is shown
  // once at most, at start.
  void ReleaseSkins();
  // Shows the page modally until either button closes it.
  void ShowModal() { Window().ShowModal(); }

  TImage& back;
  TJvImage& ok_button;
  TJvImage& exit_button;

 protected:
  void DoTranslated() override;

 private:
  void Close() { Window().EndModal(1); }
  TLabel& Text(const std::string& Name, gui::Rect Bounds, gui::TextStyle Style,
               const std::string& Caption);
};
