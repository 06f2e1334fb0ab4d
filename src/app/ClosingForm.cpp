#include "app/ClosingForm.h"

#include "app/MainFormLangData.h"

namespace {

gui::WindowSpec ClosingFormSpec() {
  gui::WindowSpec layout;
  layout.class_name = "TClosingForm";
  layout.title = "Closing Nimbra...";
  layout.style = gui::WindowStyle::Dialog;
  layout.client_width = 365;
  layout.client_height = 189;
  layout.centred = true;
  layout.background = gui::Rgb(252, 252, 252);
  return layout;
}

// Closed by the title-bar box: the toolkit's cancel result.
constexpr int kTitleBarCloseResult = 2;

}  // namespace

TClosingForm::TClosingForm(gui::GuiSystem& Gui)
    : TSkinForm(Gui, kClosingFormName, ClosingFormSpec()) {
  using gui::ControlKind;
  AddControl(ControlKind::Text, Label3, "Label3", {16, 16, 333, 33},
             "You are going to close Nimbra. Please, select one of the following actions:");
  AddControl(ControlKind::Picture, Image2, "Image2", {13, 61, 28, 23}, "");
  AddControl(ControlKind::Picture, Image1, "Image1", {13, 92, 28, 23}, "");
  AddControl(ControlKind::Picture, Image3, "Image3", {13, 120, 28, 23}, "");
  // Creation order is the tab order.
  AddControl(ControlKind::RadioButton, RadioButton1, "RadioButton1", {48, 96, 313, 17},
             "Always c&lose Nimbra with X (close window) button");
  AddControl(ControlKind::RadioButton, RadioButton2, "RadioButton2", {48, 62, 313, 29},
             "Always &minimize Nimbra with X (close window) button",
             [](gui::ControlSpec& layout) {
               // Bold green, at the dialog's own size: legible beside the
               // other choices.
               layout.style.bold = true;
               layout.style.word_wrap = true;
               layout.style.colour = gui::Rgb(0, 128, 0);
             })
      .SetChecked(true);
  AddControl(ControlKind::RadioButton, RadioButton3, "RadioButton3", {48, 120, 313, 17},
             "Close Nimbra now and &ask this next time");
  AddControl(ControlKind::Button, Button3, "Button3", {96, 156, 75, 25}, "&OK",
             [](gui::ControlSpec& layout) { layout.default_button = true; });
  AddControl(ControlKind::Button, Button4, "Button4", {184, 156, 75, 25}, "&Cancel",
             [](gui::ControlSpec& layout) { layout.cancel_button = true; });
  Translate(ClosingFormDesign());
}

void TClosingForm::FormCreate() {
  const std::pair<int, const char*> pictures[] = {
      {Image2, "closing_minimize.jpg"}, {Image1, "closing_close.jpg"}, {Image3, "closing_ask.jpg"}};
  for (const auto& [id, name] : pictures) {
    TPicture picture;
    picture.LoadFromFile(SkinPath(name), SkinSource(name));
    Window().FindControl(id)->SetBitmap(*picture.Bitmap());
  }
}

int TClosingForm::ShowModal() { return Window().ShowModal(); }

void TClosingForm::DoCommand(int ControlId) {
  if (ControlId == Button3) {
    int result = kCloseActionAsk;
    if (Window().FindControl(RadioButton2)->Checked()) result = kCloseActionMinimize;
    if (Window().FindControl(RadioButton1)->Checked()) result = kCloseActionExit;
    Window().EndModal(result);
  } else if (ControlId == Button4) {
    Window().EndModal(kCloseActionAsk);
  }
}

void TClosingForm::DoCloseRequest() { Window().EndModal(kTitleBarCloseResult); }
