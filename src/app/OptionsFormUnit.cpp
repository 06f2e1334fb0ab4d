#include "app/OptionsFormUnit.h"

#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "ui/DKLang.h"

namespace {

gui::WindowSpec OptionsFormSpec() {
  gui::WindowSpec layout;
  layout.class_name = "TOptionsForm";
  layout.title = "Options";
  layout.style = gui::WindowStyle::DialogWithMinimize;
  layout.client_width = 400;
  layout.client_height = 350;
  layout.centred = true;
  layout.key_preview = true;
  return layout;
}

constexpr int kOkResult = 1;
constexpr int kCancelResult = 2;

}  // namespace

TOptionsForm::TOptionsForm(gui::GuiSystem& Gui, TOptionsLinks Links)
    : TSkinForm(Gui, "OptionsForm", OptionsFormSpec()), FLinks(std::move(Links)) {
  using gui::ControlKind;
  // Only the tab strip is the system's control; the page's frame is drawn
  // over the dialog's own background, so every page control sits on one
  // colour.
  Add(ControlKind::TabControl, PageControl, {8, 8, 384, 24}, "")
      .SetItems({"General", "Connection", "About"});
  Add(ControlKind::GroupBox, PageFrame, {8, 26, 384, 254}, "");
  FGeneralControls = {StartupGroup,       RunStartup,       RunMinim,
                      StartStartup,       ProxyGroup,       AutoSwitchStartup,
                      SwitchPeriodLabel1, SwitchPeriodEdit, SwitchPeriodLabel2};
  Add(ControlKind::GroupBox, StartupGroup, {20, 40, 360, 96}, "Startup options");
  Add(ControlKind::CheckBox, RunStartup, {34, 60, 330, 20}, "Run on Windows &startup",
      "Let Nimbra run on Windows startup");
  Add(ControlKind::CheckBox, RunMinim, {34, 83, 330, 20}, "Run &minimized",
      "Make Nimbra run minimized to system tray");
  Add(ControlKind::CheckBox, StartStartup, {34, 106, 330, 20}, "Activate proxy on startup",
      "Make Nimbra automatically activate proxy on startup");
  Add(ControlKind::GroupBox, ProxyGroup, {20, 146, 360, 84}, "Proxy options");
  Add(ControlKind::CheckBox, AutoSwitchStartup, {34, 166, 330, 20},
      "Auto switch proxies from startup",
      "Make Nimbra automatically switch proxies from the moment of startup");
  Add(ControlKind::Text, SwitchPeriodLabel1, {34, 197, 180, 17},
      "Automatically switch proxies every");
  Add(ControlKind::Edit, SwitchPeriodEdit, {216, 194, 44, 21}, "",
      "Specify how often proxies should be switched");
  Add(ControlKind::Text, SwitchPeriodLabel2, {266, 197, 60, 17}, "minutes");

  // The Connection page: bridges for where the network is blocked.
  FConnectionControls = {BridgesGroup,  UseBridges,      BuiltInBridges,
                         CustomBridges, BridgeLinesEdit, BridgesNote};
  Add(ControlKind::GroupBox, BridgesGroup, {20, 40, 360, 230}, "Bridges");
  Add(ControlKind::CheckBox, UseBridges, {34, 60, 330, 20}, "Use &bridges");
  Add(ControlKind::RadioButton, BuiltInBridges, {50, 83, 314, 20}, "Built-in obfs4 bridges");
  Add(ControlKind::RadioButton, CustomBridges, {50, 106, 314, 20}, "Use these bridge lines:");
  AddControl(ControlKind::MultiLineEdit, BridgeLinesEdit, {50, 129, 318, 110}, "");
  Add(ControlKind::Text, BridgesNote, {34, 246, 340, 17}, "");
  SetConnectionTexts();

  FAboutControls = {about_img,  ProductName, VersionLabel, DescriptionLabel,
                    LinkLabel1, LinkLabel2,  LinkLabel3};
  Add(ControlKind::Picture, about_img, {30, 48, 96, 96}, "");
  AddControl(ControlKind::Text, ProductName, {146, 52, 220, 20}, "Nimbra",
             [](gui::ControlSpec& layout) { layout.style.bold = true; });
  Add(ControlKind::Text, VersionLabel, {146, 76, 220, 17}, kProductVersion);
  Add(ControlKind::Text, DescriptionLabel, {146, 98, 230, 17}, "Nimbra is a powerful anonymizer");
  Add(ControlKind::Link, LinkLabel1, {146, 132, 220, 17}, "www.corvane.com");
  Add(ControlKind::Link, LinkLabel2, {146, 154, 220, 17}, "Product information");
  Add(ControlKind::Link, LinkLabel3, {146, 176, 220, 17}, "Support");

  AddControl(ControlKind::Button, ok2, {150, 290, 75, 25}, "&OK",
             [](gui::ControlSpec& layout) { layout.default_button = true; });
  FHints.emplace_back(ok2, "Apply changes and close this window");
  AddControl(ControlKind::Button, CancelButton, {232, 290, 75, 25}, "&Cancel",
             [](gui::ControlSpec& layout) { layout.cancel_button = true; });
  FHints.emplace_back(CancelButton, "Exit this window without saving options");
  Add(ControlKind::Button, HelpButton, {314, 290, 75, 25}, "&Help",
      "View help for the current page of Options dialog");
  Add(ControlKind::StatusBar, StatusBar, {0, 330, 400, 20}, "");
  ShowPage(TPage::General);
}

gui::Control& TOptionsForm::Add(gui::ControlKind Kind, int Id, gui::Rect Bounds,
                                const std::string& Text, const std::string& Hint) {
  if (!Hint.empty()) FHints.emplace_back(Id, Hint);
  // The dialog's labels stay on one line.
  return AddControl(Kind, Id, Bounds, Text,
                    [](gui::ControlSpec& layout) { layout.style.word_wrap = false; });
}

void TOptionsForm::FormCreate() {}

void TOptionsForm::LoadSkins() {
  about_logo.LoadFromFile(SkinPath("about_logo.jpg"), SkinSource("about_logo.jpg"));
}

void TOptionsForm::ShowPage(TPage Page) {
  Window().FindControl(PageControl)->SetSelected(static_cast<int>(Page));
  for (int id : FGeneralControls) Window().FindControl(id)->SetVisible(Page == TPage::General);
  for (int id : FConnectionControls) {
    Window().FindControl(id)->SetVisible(Page == TPage::Connection);
  }
  for (int id : FAboutControls) Window().FindControl(id)->SetVisible(Page == TPage::About);
}

// The page's texts come from the message catalogue, so that they follow the
// language chosen.
void TOptionsForm::SetConnectionTexts() {
  Window().FindControl(BridgesGroup)->SetText(CatalogueText("Bridges_group"));
  Window().FindControl(UseBridges)->SetText(CatalogueText("Use_bridges"));
  Window().FindControl(BuiltInBridges)->SetText(CatalogueText("Built_in_bridges"));
  Window().FindControl(CustomBridges)->SetText(CatalogueText("Custom_bridges"));
  Window().FindControl(BridgesNote)->SetText(CatalogueText("Bridges_note"));
}

void TOptionsForm::EnableBridgeControls() {
  const bool on = Window().FindControl(UseBridges)->Checked();
  Window().FindControl(BuiltInBridges)->SetEnabled(on);
  Window().FindControl(CustomBridges)->SetEnabled(on);
  Window().FindControl(BridgeLinesEdit)->SetEnabled(on);
}

bool TOptionsForm::ShowModal(TPage Page) {
  ShowPage(Page);
  if (!about_logo.Empty()) Window().FindControl(about_img)->SetBitmap(*about_logo.Bitmap());
  SetOptionsToGUI();
  return Window().ShowModal() == kOkResult;
}

void TOptionsForm::SetOptionsToGUI() {
  TOptions options;
  Window().FindControl(RunStartup)->SetChecked(options.GetOption("Autorun", true));
  Window().FindControl(RunMinim)->SetChecked(options.GetOption("RunMinim", false));
  Window().FindControl(StartStartup)->SetChecked(options.GetOption("StartStartup", true));
  Window().FindControl(AutoSwitchStartup)->SetChecked(options.GetOption("AutoSwitchStartup", true));
  Window().FindControl(SwitchPeriodEdit)->SetText(options.GetOption("SwitchPeriod", "30"));

  const TBridgeSettings bridges = LoadBridgeSettings();
  SetConnectionTexts();
  Window().FindControl(UseBridges)->SetChecked(bridges.Enabled);
  Window()
      .FindControl(bridges.Source == TBridgeSource::Custom ? CustomBridges : BuiltInBridges)
      ->SetChecked(true);
  Window().FindControl(BridgeLinesEdit)->SetText(bridges.CustomText());
  EnableBridgeControls();
  SetStatusText(FLinks.NetworkProblem ? FLinks.NetworkProblem() : "");
}

bool TOptionsForm::ApplyBridgesFromGUI() {
  const bool enabled = Window().FindControl(UseBridges)->Checked();
  const TBridgeSource source = Window().FindControl(CustomBridges)->Checked()
                                   ? TBridgeSource::Custom
                                   : TBridgeSource::BuiltIn;
  const std::string text = Window().FindControl(BridgeLinesEdit)->Text();
  TBridgeCheck check = CheckBridgeLines(text);
  if (check.Ok() && enabled && source == TBridgeSource::Custom && check.Lines.empty()) {
    check.Fault = TBridgeFault::NoLines;
  }
  if (check.Ok()) {
    // Unchanged: the engine is left alone (a SETCONF starts its bootstrap over).
    const TBridgeSettings stored = LoadBridgeSettings();
    if (stored.Enabled == enabled && stored.Source == source && stored.CustomLines == check.Lines) {
      return true;
    }
    if (FLinks.ChangeBridges) check = FLinks.ChangeBridges(enabled, source, text);
    if (check.Ok()) return true;
  }
  LogMessage("Bridge lines refused: " + check.Message(), "TOptionsForm.ApplyBridgesFromGUI");
  const std::string fault = CatalogueText(BridgeFaultKey(check.Fault));
  SetStatusText(check.LineNumber > 0
                    ? CatalogueText("Bridge_line_refused", {check.LineNumber, fault})
                    : fault);
  ShowPage(TPage::Connection);
  return false;
}

void TOptionsForm::GetOptionsFromGUI() {
  TOptions options;
  options.SetOption("Autorun", Window().FindControl(RunStartup)->Checked());
  options.SetOption("RunMinim", Window().FindControl(RunMinim)->Checked());
  options.SetOption("StartStartup", Window().FindControl(StartStartup)->Checked());
  options.SetOption("AutoSwitchStartup", Window().FindControl(AutoSwitchStartup)->Checked());
  options.SetOption("SwitchPeriod", Window().FindControl(SwitchPeriodEdit)->Text());
}

void TOptionsForm::SetStatusText(const std::string& Text) {
  Window().FindControl(StatusBar)->SetText(Text);
}

void TOptionsForm::DoCommand(int ControlId) {
  switch (ControlId) {
    case PageControl:
      ShowPage(static_cast<TPage>(Window().FindControl(PageControl)->Selected()));
      break;
    case UseBridges:
      EnableBridgeControls();
      break;
    case ok2:
      // Bad bridge lines keep the dialog open with nothing stored; a failed
      // write leaves it open with what was written so far.
      if (!ApplyBridgesFromGUI()) break;
      GetOptionsFromGUI();
      if (FLinks.ApplyOptions) FLinks.ApplyOptions();
      Window().EndModal(kOkResult);
      break;
    case CancelButton:
      Window().EndModal(kCancelResult);
      break;
    case HelpButton:
      if (FLinks.ShowHelp) FLinks.ShowHelp();
      break;
    case LinkLabel1:
      Gui().ShellOpen(&Window(), kMakerSite, gui::ShowCommand::Hidden);
      break;
    case LinkLabel2:
      Gui().ShellOpen(&Window(), kProductPage, gui::ShowCommand::Hidden);
      break;
    case LinkLabel3:
      Gui().ShellOpen(&Window(), kSupportMail, gui::ShowCommand::Hidden);
      break;
    default:
      break;
  }
}

void TOptionsForm::DoCloseRequest() { Window().EndModal(kCancelResult); }

bool TOptionsForm::DoKeyDown(int Key, std::uint16_t /*Shift*/) {
  if (Key != gui::kKeyF1) return false;
  if (FLinks.ShowHelp) FLinks.ShowHelp();
  return true;
}

void TOptionsForm::DoPointerOverControl(int ControlId) {
  std::string hint;
  for (const auto& [id, text] : FHints) {
    if (id == ControlId) hint = text;
  }
  if (FLinks.DisplayHint) FLinks.DisplayHint(hint);
}
