// The menu panel that slides out at the main window's left edge.
#pragma once

#include <functional>

#include "ui/Forms.h"

// What the panel's buttons do outside it.
struct TMenuLinks {
  std::function<void()> ShowOptions;
  std::function<void()> ShowHelp;
  // Its own close button was pressed.
  std::function<void()> Closed;
};

class TMenuForm : public TSkinForm {
 public:
  TMenuForm(gui::GuiSystem& Gui, gui::Window* Owner, TMenuLinks Links);
  void FormCreate();
  // Its start-up pictures; raises at the first that cannot be read.
  void LoadSkins();

  // Places the panel beside the main window at (Left, Top) with `Height`:
  // to its left, overlapping by one pixel, or below it where there is no
  // room on the left.
  void PlaceBeside(int Left, int Top, int Height);
  // Moves the panel by (DX, DY), shown or not.
  void MoveBy(int DX, int DY);

  TImage& back;
  TLabel& TitleLabel;
  TJvImage& options;
  TLabel& OptionsNote;
  TLabel& HelpNote;
  TJvImage& help;
  TLabel& TipsHeading;
  TLabel& StartStopTipKey;
  TLabel& StartStopTip;
  TLabel& ShowHideTipKey;
  TLabel& ShowHideTip;
  TLabel& TrayTip;
  TLabel& AutoSwitchTip;
  TLabel& CloseTip;
  TJvImage& exit_button;

 protected:
  void DoTranslated() override;

 private:
  TMenuLinks FLinks;
  // The tips' bullets, one per tip, in the tips' order.
  std::vector<TLabel*> FBullets;
};
