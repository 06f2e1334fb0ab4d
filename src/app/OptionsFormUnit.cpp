#include "app/OptionsFormUnit.h"

#include "app/MainFormLangData.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "ui/DKLang.h"

namespace {

gui::WindowSpec OptionsFormSpec() {
  gui::WindowSpec layout;
  layout.class_name = "TOptionsForm";
  layout.title = "Options";
  layout.style = gui::WindowStyle::DialogWithMinimize;
  layout.client_width = 430;
  layout.client_height = 350;
  layout.centred = true;
  layout.key_preview = true;
  return layout;
}

constexpr int kOkResult = 1;
constexpr int kCancelResult = 2;

}  // namespace

TOptionsForm::TOptionsForm(gui::GuiSystem& Gui, TOptionsLinks Links)
    : TSkinForm(Gui, kOptionsFormName, OptionsFormSpec()), FLinks(std::move(Links)) {
  using gui::ControlKind;
  // Only the tab strip is the system's control; the page's frame is drawn
  // over the dialog's own background, so every page control sits on one
  // colour.
  Add(ControlKind::TabControl, PageControl, "PageControl", {8, 8, 414, 24}, "");
  Add(ControlKind::GroupBox, PageFrame, "PageFrame", {8, 26, 414, 254}, "");

  FPages.push_back({TPage::General,
                    "GeneralPage",
                    "General",
                    {StartupGroup, RunStartup, RunMinim, StartStartup, ProxyGroup,
                     AutoSwitchStartup, SwitchPeriodLabel1, SwitchPeriodEdit, SwitchPeriodLabel2}});
  Add(ControlKind::GroupBox, StartupGroup, "StartupGroup", {20, 40, 390, 96}, "Startup options");
  Add(ControlKind::CheckBox, RunStartup, "RunStartup", {34, 60, 370, 20}, "Run on Windows &startup",
      "Let Nimbra run on Windows startup");
  Add(ControlKind::CheckBox, RunMinim, "RunMinim", {34, 83, 370, 20}, "Run &minimized",
      "Make Nimbra run minimized to system tray");
  Add(ControlKind::CheckBox, StartStartup, "StartStartup", {34, 106, 370, 20},
      "Activate proxy on startup", "Make Nimbra automatically activate proxy on startup");
  Add(ControlKind::GroupBox, ProxyGroup, "ProxyGroup", {20, 146, 390, 84}, "Proxy options");
  Add(ControlKind::CheckBox, AutoSwitchStartup, "AutoSwitchStartup", {34, 166, 370, 20},
      "Auto switch proxies from startup",
      "Make Nimbra automatically switch proxies from the moment of startup");
  Add(ControlKind::Text, SwitchPeriodLabel1, "SwitchPeriodLabel1", {34, 197, 220, 17},
      "Automatically switch proxies every");
  Add(ControlKind::Edit, SwitchPeriodEdit, "SwitchPeriodEdit", {256, 194, 40, 21}, "",
      "Specify how often proxies should be switched");
  Add(ControlKind::Text, SwitchPeriodLabel2, "SwitchPeriodLabel2", {302, 197, 100, 17}, "minutes");

  // The Connection page: bridges for where the network is blocked. Its
  // texts are the catalogue's (SetConnectionTexts).
  FPages.push_back(
      {TPage::Connection,
       "ConnectionPage",
       "Connection",
       {BridgesGroup, UseBridges, BuiltInBridges, CustomBridges, BridgeLinesEdit, BridgesNote}});
  Add(ControlKind::GroupBox, BridgesGroup, "BridgesGroup", {20, 40, 390, 230}, "Bridges");
  Add(ControlKind::CheckBox, UseBridges, "UseBridges", {34, 60, 370, 20}, "Use &bridges");
  Add(ControlKind::RadioButton, BuiltInBridges, "BuiltInBridges", {50, 83, 354, 20},
      "Built-in obfs4 bridges");
  Add(ControlKind::RadioButton, CustomBridges, "CustomBridges", {50, 106, 354, 20},
      "Use these bridge lines:");
  AddControl(ControlKind::MultiLineEdit, BridgeLinesEdit, "BridgeLinesEdit", {50, 129, 348, 110},
             "");
  Add(ControlKind::Text, BridgesNote, "BridgesNote", {34, 246, 370, 17}, "");
  SetConnectionTexts();

  FPages.push_back({TPage::About,
                    "AboutPage",
                    "About",
                    {about_img, ProductName, VersionLabel, DescriptionLabel, LinkLabel1, LinkLabel2,
                     LinkLabel3}});
  Add(ControlKind::Picture, about_img, "about_img", {30, 48, 96, 96}, "");
  AddControl(ControlKind::Text, ProductName, "ProductName", {146, 52, 260, 20}, "Nimbra",
             [](gui::ControlSpec& layout) { layout.style.bold = true; });
  Add(ControlKind::Text, VersionLabel, "VersionLabel", {146, 76, 260, 17},
      CatalogueText("Version", {kProductVersionNumber}));
  Add(ControlKind::Text, DescriptionLabel, "DescriptionLabel", {146, 98, 270, 34},
      "Nimbra is a powerful anonymizer");
  Add(ControlKind::Link, LinkLabel1, "LinkLabel1", {146, 140, 260, 17}, "www.corvane.com");
  Add(ControlKind::Link, LinkLabel2, "LinkLabel2", {146, 162, 260, 17}, "Product information");
  Add(ControlKind::Link, LinkLabel3, "LinkLabel3", {146, 184, 260, 17}, "Support");

  AddControl(ControlKind::Button, ok2, "ok2", {180, 290, 75, 25}, "&OK",
             [](gui::ControlSpec& layout) { layout.default_button = true; });
  SetControlHint(ok2, "Apply changes and close this window");
  AddControl(ControlKind::Button, CancelButton, "CancelButton", {262, 290, 75, 25}, "&Cancel",
             [](gui::ControlSpec& layout) { layout.cancel_button = true; });
  SetControlHint(CancelButton, "Exit this window without saving options");
  Add(ControlKind::Button, HelpButton, "HelpButton", {344, 290, 75, 25}, "&Help",
      "View help for the current page of Options dialog");
  Add(ControlKind::StatusBar, StatusBar, "StatusBar", {0, 330, 430, 20}, "");
  UpdateTabs();
  ShowPage(TPage::General);
  Translate(OptionsFormDesign());
}

gui::Control& TOptionsForm::Add(gui::ControlKind Kind, int Id, const std::string& Name,
                                gui::Rect Bounds, const std::string& Text,
                                const std::string& Hint) {
  // The dialog's labels stay on one line, but for the description.
  gui::Control& control = AddControl(Kind, Id, Name, Bounds, Text, [Id](gui::ControlSpec& layout) {
    layout.style.word_wrap = Id == DescriptionLabel;
  });
  if (!Hint.empty()) SetControlHint(Id, Hint);
  return control;
}

void TOptionsForm::FormCreate() {}

void TOptionsForm::LoadSkins() {
  about_logo.LoadFromFile(SkinPath("about_logo.jpg"), SkinSource("about_logo.jpg"));
}

void TOptionsForm::UpdateTabs() {
  std::vector<std::string> captions;
  for (const TPageEntry& page : FPages) captions.push_back(page.Caption);
  gui::Control& tabs = *Window().FindControl(PageControl);
  const int selected = tabs.Selected();
  tabs.SetItems(captions);
  if (selected >= 0) tabs.SetSelected(selected);
}

TOptionsForm::TPageEntry* TOptionsForm::FindPage(const std::string& Component) {
  for (TPageEntry& page : FPages) {
    if (page.Component == Component) return &page;
  }
  return nullptr;
}

void TOptionsForm::ShowPage(TPage Page) {
  for (std::size_t i = 0; i < FPages.size(); ++i) {
    const bool shown = FPages[i].Page == Page;
    if (shown) Window().FindControl(PageControl)->SetSelected(static_cast<int>(i));
    for (int id : FPages[i].Controls) Window().FindControl(id)->SetVisible(shown);
  }
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

std::optional<std::string> TOptionsForm::GetPropertyText(const std::string& Component,
                                                         const std::string& Property) const {
  for (const TPageEntry& page : FPages) {
    if (page.Component == Component) {
      if (Property == "Caption") return page.Caption;
      return std::nullopt;
    }
  }
  return TSkinForm::GetPropertyText(Component, Property);
}

void TOptionsForm::SetPropertyText(const std::string& Component, const std::string& Property,
                                   const std::string& Value) {
  if (TPageEntry* page = FindPage(Component)) {
    if (Property == "Caption") {
      page->Caption = Value;
      UpdateTabs();
    }
    return;
  }
  TSkinForm::SetPropertyText(Component, Property, Value);
}

void TOptionsForm::DoTranslated() {
  Window().FindControl(VersionLabel)->SetText(CatalogueText("Version", {kProductVersionNumber}));
  SetConnectionTexts();
}

std::vector<TTextBox> TOptionsForm::TextBoxes() const {
  std::vector<TTextBox> boxes = TSkinForm::TextBoxes();
  // The tabs share the strip; each has its share of it, less its edges.
  const gui::ControlSpec& strip = *ControlLayout(PageControl);
  const int share = strip.bounds.width / static_cast<int>(FPages.size());
  for (std::size_t i = 0; i < FPages.size(); ++i) {
    boxes.push_back({FPages[i].Component,
                     FPages[i].Caption,
                     {strip.bounds.left + static_cast<int>(i) * share, strip.bounds.top, share - 12,
                      strip.bounds.height},
                     strip.style});
  }
  return boxes;
}

void TOptionsForm::DoCommand(int ControlId) {
  switch (ControlId) {
    case PageControl: {
      const int selected = Window().FindControl(PageControl)->Selected();
      if (selected >= 0 && selected < static_cast<int>(FPages.size())) {
        ShowPage(FPages[static_cast<std::size_t>(selected)].Page);
      }
      break;
    }
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
  if (FLinks.DisplayHint) FLinks.DisplayHint(ControlHint(ControlId));
}
