#include "app/MenuForm.h"

#include "app/MainFormLangData.h"
#include "app/MainFormUnit.h"
#include "ui/SkinText.h"

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

constexpr gui::Colour kMutedText = kSkinMutedText;
constexpr gui::Colour kTipText = kSkinBodyText;
constexpr gui::Colour kBrightText = kSkinBrightText;
constexpr gui::Colour kAccent = kSkinAccent;

// The tips' panel, between whose inner edges the tips are mirrored for a
// language read right to left: a bullet, then the tip (or its keys, then
// what they do).
constexpr int kTipsLeft = 140;
constexpr int kTipsRight = 438;
struct TipPlace {
  gui::Rect bullet;
  gui::Rect key;  // empty: the tip has no keys
  gui::Rect text;
};
constexpr TipPlace kTips[] = {
    {{148, 71, 8, 13}, {160, 71, 76, 13}, {238, 71, 198, 13}},
    {{148, 89, 8, 13}, {160, 89, 76, 13}, {238, 89, 198, 13}},
    {{148, 107, 8, 13}, {}, {160, 107, 276, 26}},
    {{148, 135, 8, 13}, {}, {160, 135, 276, 26}},
    {{148, 163, 8, 13}, {}, {160, 163, 276, 24}},
};

// A caption over a 103 x 45 button, right of its icon.
void SetButtonCaption(TJvImage& button, const std::string& caption) {
  button.Caption = caption;
  button.CaptionBox = {26, 0, 75, 45};
  button.CaptionFont = SkinText(12, kBrightText, true);
  button.CaptionFont.align = gui::TextAlign::Centre;
  button.CaptionFont.middle = true;
  button.HoverColour = gui::Rgb(0xff, 0xff, 0xff);
  button.PressedColour = gui::Rgb(0x9f, 0xe9, 0xd9);
}

}  // namespace

TMenuForm::TMenuForm(gui::GuiSystem& Gui, gui::Window* Owner, TMenuLinks Links)
    : TSkinForm(Gui, kMenuFormName, MenuFormSpec(Owner)),
      back(Add<TImage>("back", {-1, 0, 457, 207})),
      TitleLabel(Add<TLabel>("TitleLabel", {81, 8, 300, 14})),
      options(Add<TJvImage>("options", {15, 40, 103, 45})),
      OptionsNote(Add<TLabel>("OptionsNote", {6, 94, 121, 12})),
      HelpNote(Add<TLabel>("HelpNote", {6, 120, 121, 12})),
      help(Add<TJvImage>("help", {15, 142, 103, 45})),
      TipsHeading(Add<TLabel>("TipsHeading", {152, 49, 280, 14})),
      StartStopTipKey(Add<TLabel>("StartStopTipKey", kTips[0].key)),
      StartStopTip(Add<TLabel>("StartStopTip", kTips[0].text)),
      ShowHideTipKey(Add<TLabel>("ShowHideTipKey", kTips[1].key)),
      ShowHideTip(Add<TLabel>("ShowHideTip", kTips[1].text)),
      TrayTip(Add<TLabel>("TrayTip", kTips[2].text)),
      AutoSwitchTip(Add<TLabel>("AutoSwitchTip", kTips[3].text)),
      CloseTip(Add<TLabel>("CloseTip", kTips[4].text)),
      exit_button(Add<TJvImage>("exit_button", {433, 7, 10, 10})),
      FLinks(std::move(Links)) {
  back.AutoSize = true;
  DragElement = &back;
  TitleLabel.Font = SkinText(11, kMutedText);
  // It follows the product's name drawn in the picture.
  TitleLabel.KeepsSide = true;
  TitleLabel.SetCaption("menu");
  SetButtonCaption(options, "Options");
  SetButtonCaption(help, "Help");
  for (TLabel* note : {&OptionsNote, &HelpNote}) {
    note->Font = SkinText(9, kMutedText);
    note->Font.align = gui::TextAlign::Centre;
  }
  OptionsNote.SetCaption("Start-up and switching");
  HelpNote.SetCaption("How Nimbra works");
  TipsHeading.Font = SkinText(11, kAccent, true);
  TipsHeading.SetCaption("TIPS");
  StartStopTipKey.Font = SkinText(10, kBrightText, true);
  StartStopTipKey.SetCaption(gui::ShortcutText(kStartStopShortcut));
  ShowHideTipKey.Font = StartStopTipKey.Font;
  ShowHideTipKey.SetCaption(gui::ShortcutText(kShowFormShortcut));
  for (TLabel* tip : {&StartStopTip, &ShowHideTip, &TrayTip, &AutoSwitchTip, &CloseTip}) {
    tip->Font = SkinText(10, kTipText);
    tip->Font.word_wrap = true;
  }
  StartStopTip.SetCaption("starts or stops the proxy.");
  ShowHideTip.SetCaption("shows or hides this window.");
  TrayTip.SetCaption("Right-click the tray icon for the full menu.");
  AutoSwitchTip.SetCaption(
      "Auto switch takes a new identity every 30 minutes; set the interval in Options.");
  CloseTip.SetCaption("Close your browsers before you quit Nimbra.");
  for (const TipPlace& tip : kTips) {
    TLabel& bullet = Add<TLabel>("TipBullet" + std::to_string(FBullets.size() + 1), tip.bullet);
    bullet.Font = SkinText(10, kAccent, true);
    bullet.SetCaption("\u2022");
    FBullets.push_back(&bullet);
  }
  options.OnClick = [this] {
    if (FLinks.ShowOptions) FLinks.ShowOptions();
  };
  help.OnClick = [this] {
    if (FLinks.ShowHelp) FLinks.ShowHelp();
  };
  exit_button.OnClick = [this] {
    if (FLinks.Closed) FLinks.Closed();
  };
  Translate(MenuFormDesign());
}

void TMenuForm::DoTranslated() {
  TLabel* keys[] = {&StartStopTipKey, &ShowHideTipKey, nullptr, nullptr, nullptr};
  TLabel* texts[] = {&StartStopTip, &ShowHideTip, &TrayTip, &AutoSwitchTip, &CloseTip};
  for (std::size_t i = 0; i < std::size(kTips); ++i) {
    Place(*FBullets[i], kTips[i].bullet, kTipsLeft, kTipsRight);
    if (keys[i] != nullptr) Place(*keys[i], kTips[i].key, kTipsLeft, kTipsRight);
    Place(*texts[i], kTips[i].text, kTipsLeft, kTipsRight);
  }
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
