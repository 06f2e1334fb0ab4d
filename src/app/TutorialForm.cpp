#include "app/TutorialForm.h"

namespace {

gui::WindowSpec TutorialFormSpec() {
  gui::WindowSpec layout;
  layout.class_name = "TTutorialForm";
  layout.title = "Nimbra";
  // The skin's edge colour, where the picture leaves the last row uncovered.
  layout.background = gui::Rgb(64, 72, 85);
  layout.client_width = 615;
  layout.client_height = 530;
  layout.centred = true;
  return layout;
}

}  // namespace

TTutorialForm::TTutorialForm(gui::GuiSystem& Gui)
    : TSkinForm(Gui, "TutorialForm", TutorialFormSpec()),
      back(Add<TImage>("back", {0, 0, 615, 532})),
      ok_button(Add<TJvImage>("ok_button", {479, 452, 107, 50})),
      exit_button(Add<TJvImage>("exit_button", {587, 7, 10, 10})) {
  back.AutoSize = true;
  DragElement = &back;
  ok_button.OnClick = [this] { Close(); };
  exit_button.OnClick = [this] { Close(); };
}

void TTutorialForm::FormCreate() { Window().SetRoundRectRegion(2, 0, 615, 530, 24, 28); }

void TTutorialForm::LoadSkins() {
  back.LoadPicture(SkinPath("TutorialForm.jpg"), SkinSource("TutorialForm.jpg"));
  exit_button.LoadSkinPictures("menu_form_exit_down.jpg", "menu_form_exit_over.jpg");
  ok_button.LoadSkinPictures("Tutorial_OK_down.jpg", "Tutorial_OK_over.jpg");
}
