#include "app/MenuForm.h"

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

TMenuForm::TMenuForm(gui::GuiSystem& Gui, gui::Window* Owner, TMenuLinks Links)
    : TSkinForm(Gui, "MenuForm", MenuFormSpec(Owner)),
      back(Add<TImage>("back", {-1, 0, 457, 207})),
      options(Add<TJvImage>("options", {15, 40, 103, 45})),
      help(Add<TJvImage>("help", {15, 142, 103, 45})),
      exit_button(Add<TJvImage>("exit_button", {433, 7, 10, 10})),
      FLinks(std::move(Links)) {
  back.AutoSize = true;
  DragElement = &back;
  options.OnClick = [this] {
    if (FLinks.ShowOptions) FLinks.ShowOptions();
  };
  help.OnClick = [this] {
    if (FLinks.ShowHelp) FLinks.ShowHelp();
  };
  exit_button.OnClick = [this] {
    if (FLinks.Closed) FLinks.Closed();
  };
}

void TMenuForm::FormCreate() { Window().SetRoundRectRegion(0, 0, 456, 208, 25, 26); }

void TMenuForm::LoadSkins() {
  back.LoadPicture(SkinPath("menu_form.jpg"), SkinSource("menu_form.jpg"));
  options.LoadSkinPictures("options_down.jpg", "options_over.jpg");
  help.LoadSkinPictures("help_down.jpg", "help_over.jpg");
  exit_button.LoadSkinPictures("menu_form_exit_down.jpg", "menu_form_exit_over.jpg");
}

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
