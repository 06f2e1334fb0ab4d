// The closing dialog: asks once what the main window's close button does.
#pragma once

#include "ui/Forms.h"

// Its results, stored as the option "X_Action".
inline constexpr int kCloseActionMinimize = 1;
inline constexpr int kCloseActionExit = 2;
inline constexpr int kCloseActionAsk = 3;

class TClosingForm : public TSkinForm {
 public:
  // Control ids.
  enum : int {
    Label3 = 1,
    Image2,
    RadioButton2,
    Image1,
    RadioButton1,
    Image3,
    RadioButton3,
    Button3,
    Button4,
  };

  explicit TClosingForm(gui::GuiSystem& Gui);
  // Loads the three small pictures beside the choices.
  void FormCreate();
  // Shows the dialog modally; its result (1, 2 or 3).
  int ShowModal();

 protected:
  void DoCommand(int ControlId) override;
  void DoCloseRequest() override;
};
