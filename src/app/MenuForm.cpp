#include "app/MenuForm.h"

#include "app/MainFormUnit.h"
#include "app/OptionsFormUnit.h"

TMenuForm* MenuForm = nullptr;

namespace {

gui::WindowSpec MenuFormSpec(gui::Window* owner) {
  gui::WindowSpec layout;
  layout.class_name = "TMenuForm";
  layout.title = "Nimbra";
  // The skin's edge colour, where the picture leaves the last row uncovered.
  layout.background = gui::Rgb(64, 72, 85);
  layout.client_width = 456;
  layout.client_height = 208;
  layout.owner = owner;
  return layout;
}

}  // namespace

TMenuForm::TMenuForm(gui::GuiSystem& Gui, gui::Window* Owner)
    : TSkinForm(Gui, "MenuForm", MenuFormSpec(Owner)),
      back(Add<TImage>("back", {-1, 0, 457, 207})),
      options(Add<TJvImage>("options", {15, 40, 103, 45})),
      help(Add<TJvImage>("help", {15, 142, 103, 45})),
      exit_button(Add<TJvImage>("exit_button", {433, 7, 10, 10})) {
  back.AutoSize = true;
  DragElement = &back;
  options.OnClick = [] {
    if (OptionsForm != nullptr) OptionsForm->ShowModal(TOptionsForm::TPage::General);
  };
  help.OnClick = [] {
    if (NimbraMainForm != nullptr) NimbraMainForm->ShowHelp();
  };
  exit_button.OnClick = [this] { exit_buttonClick(); };
}

void TMenuForm::FormCreate() { Window().SetRoundRectRegion(0, 0, 456, 208, 25, 26); }

void TMenuForm::PlaceBeside(int Left, int Top, int Height) {
  const int width = Window().Bounds().width;
  if (Left - width <= 0) {
    Window().SetPosition({Left, Top + Height});
  } else {
    Window().SetPosition({Left - width + 1, Top});
  }
}

void TMenuForm::MoveBy(int DX, int DY) {
  if (DX == 0 && DY == 0) return;
  const gui::Rect bounds = Window().Bounds();
  Window().SetPosition({bounds.left + DX, bounds.top + DY});
}

void TMenuForm::exit_buttonClick() {
  if (NimbraMainForm == nullptr) return;
  NimbraMainForm->ArrowClick();
  NimbraMainForm->arrow.PictureNormal.LoadFromFile(SkinPath("arrow_left.jpg"),
                                                   SkinSource("arrow_left.jpg"));
  NimbraMainForm->arrow.SetDefaultState();
  NimbraMainForm->arrow.Invalidate();
}
