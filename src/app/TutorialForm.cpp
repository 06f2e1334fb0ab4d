#include "app/TutorialForm.h"

#include "app/MainFormLangData.h"
#include "ui/SkinText.h"

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

constexpr gui::Colour kMutedText = kSkinMutedText;
constexpr gui::Colour kBodyText = kSkinBodyText;
constexpr gui::Colour kBrightText = kSkinBrightText;
constexpr gui::Colour kAccent = kSkinAccent;

// The numbered items beside the main window's picture: each a title and a
// text of up to three lines, at the height of its badge in the picture.
constexpr int kItemsLeft = 332;
constexpr int kItemsWidth = 266;
constexpr int kItemsTop = 100;
constexpr int kItemPitch = 48;
constexpr int kItemCount = 7;

}  // namespace

TTutorialForm::TTutorialForm(gui::GuiSystem& Gui)
    : TSkinForm(Gui, kTutorialFormName, TutorialFormSpec()),
      back(Add<TImage>("back", {0, 0, 615, 532})),
      ok_button(Add<TJvImage>("ok_button", {479, 452, 107, 50})),
      exit_button(Add<TJvImage>("exit_button", {587, 7, 10, 10})) {
  back.AutoSize = true;
  DragElement = &back;
  const TLangWindowDesign& design = TutorialFormDesign();
  auto designed = [&design](const std::string& name) { return design.Text(name, "Caption"); };
  // It follows the product's name drawn in the picture.
  Text("TitleLabel", {82, 9, 300, 14}, SkinText(11, kMutedText), designed("TitleLabel")).KeepsSide =
      true;
  Text("Welcome", {24, 44, 567, 27}, SkinText(21, kBrightText, true), designed("Welcome"));
  Text("Intro", {24, 75, 567, 14}, SkinText(11, kMutedText), designed("Intro"));
  for (int i = 1; i <= kItemCount; ++i) {
    const std::string item = "Item" + std::to_string(i);
    const int top = kItemsTop + (i - 1) * kItemPitch;
    Text(item + "Title", {kItemsLeft, top, kItemsWidth, 13}, SkinText(11, kBrightText, true),
         designed(item + "Title"));
    // The display's text quotes the label, so the program composes it.
    Text(item + "Text", {kItemsLeft, top + 13, kItemsWidth, 36},
         SkinText(10, kBodyText, false, true),
         i == 3 ? CatalogueText("Tutorial_display", {CatalogueText("Starting_proxy", {42})})
                : designed(item + "Text"));
  }
  Text("TrayHeading", {24, 266, 176, 15}, SkinText(12, kAccent, true), designed("TrayHeading"));
  Text("TrayText", {24, 288, 272, 50}, SkinText(10, kBodyText, false, true), designed("TrayText"));
  Text("HotKeysHeading", {24, 344, 272, 15}, SkinText(12, kAccent, true),
       designed("HotKeysHeading"));
  TLabel& start_stop = Text("StartStopKeys", {142, 364, 154, 20}, SkinText(10, kBodyText),
                            designed("StartStopKeys"));
  TLabel& show_hide =
      Text("ShowHideKeys", {142, 390, 154, 20}, SkinText(10, kBodyText), designed("ShowHideKeys"));
  for (TLabel* keys : {&start_stop, &show_hide}) keys->Font.middle = true;
  Text("HotKeysNote", {24, 414, 272, 26}, SkinText(10, kBodyText, false, true),
       designed("HotKeysNote"));
  Text("OptionsHeading", {24, 452, 440, 15}, SkinText(12, kAccent, true),
       designed("OptionsHeading"));
  Text("OptionsText", {24, 470, 445, 50}, SkinText(10, kBodyText, false, true),
       designed("OptionsText"));

  ok_button.Caption = designed("ok_button");
  ok_button.CaptionBox = {0, 0, 107, 50};
  ok_button.CaptionFont = SkinText(16, gui::Rgb(0xff, 0xff, 0xff), true);
  ok_button.CaptionFont.align = gui::TextAlign::Centre;
  ok_button.CaptionFont.middle = true;
  ok_button.HoverColour = gui::Rgb(0xff, 0xff, 0xff);
  ok_button.PressedColour = gui::Rgb(0xd8, 0xff, 0xf6);
  ok_button.OnClick = [this] { Close(); };
  exit_button.OnClick = [this] { Close(); };
  Translate(design);
}

TLabel& TTutorialForm::Text(const std::string& Name, gui::Rect Bounds, gui::TextStyle Style,
                            const std::string& Caption) {
  TLabel& label = Add<TLabel>(Name, Bounds);
  label.Font = Style;
  label.SetCaption(Caption);
  return label;
}

void TTutorialForm::DoTranslated() {
  // The composed text follows the catalogue's language.
  if (auto* display = dynamic_cast<TLabel*>(FindElement("Item3Text"))) {
    display->SetCaption(CatalogueText("Tutorial_display", {CatalogueText("Starting_proxy", {42})}));
  }
}

void TTutorialForm::FormCreate() { Window().SetRoundRectRegion(2, 0, 615, 530, 24, 28); }

void TTutorialForm::LoadSkins() {
  back.LoadPicture(SkinPath("TutorialForm.jpg"), SkinSource("TutorialForm.jpg"));
  exit_button.LoadSkinPictures("menu_form_exit_down.jpg", "menu_form_exit_over.jpg");
  ok_button.LoadSkinPictures("Tutorial_OK_down.jpg", "Tutorial_OK_over.jpg");
}

void TTutorialForm::ReleaseSkins() { back.Picture.Clear(); }
