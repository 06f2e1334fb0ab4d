#include "app/MainFormUnit.h"

#include <cstring>
#include <stdexcept>

#include "app/ClosingForm.h"
#include "app/MainFormLangData.h"
#include "app/MenuForm.h"
#include "app/OptionsFormUnit.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

const char kFontFile[] = "LCDN.TTF";
const char kHelpFile[] = "Help\\Help.chm";
constexpr std::uint32_t kMsPerMinute = 60000;

gui::WindowSpec MainFormSpec() {
  gui::WindowSpec layout;
  layout.class_name = kMainFormClass;
  layout.title = "Nimbra";
  layout.style = gui::WindowStyle::Borderless;
  layout.client_width = 330;
  layout.client_height = 180;
  layout.snap_distance = 15;
  layout.messages = {ShowRequestMessage};
  return layout;
}

TMenuItem Item(const std::string& name, const std::string& caption, std::uint16_t shortcut = 0,
               bool is_default = false) {
  TMenuItem item;
  item.Name = name;
  item.Caption = caption;
  item.ShortCut = shortcut;
  item.Default = is_default;
  return item;
}

TMenuItem Separator(const std::string& name) {
  TMenuItem item = Item(name, "-");
  item.Separator = true;
  return item;
}

}  // namespace

std::int32_t EffectiveSwitchPeriod(std::int32_t Minutes) {
  if (Minutes < 0) return kDefaultSwitchPeriod;
  if (Minutes > kMaxSwitchPeriod) return kMaxSwitchPeriod;
  return Minutes;
}

// ---------------------------------------------------------------------------
// Design

TNimbraMainForm::TNimbraMainForm(const TProgramSeams& Seams, TEngineControl& TorControl)
    : TSkinForm(Seams.Gui, kNimbraMainFormName, MainFormSpec()),
      back(Add<TImage>("back", {0, 0, 330, 180})),
      ToggleAnonimityImage(Add<TJvImage>("ToggleAnonimityImage", {132, 113, 57, 29})),
      ToggleAutoSwitchImage(Add<TJvImage>("ToggleAutoSwitchImage", {196, 113, 57, 29})),
      check(Add<TJvImage>("check", {259, 113, 57, 29})),
      lamp(Add<TImage>("lamp", {289, 44, 33, 28})),
      minim(Add<TJvImage>("minim", {299, 6, 10, 11})),
      about(Add<TJvImage>("about", {288, 6, 10, 10})),
      exit_button(Add<TJvImage>("exit_button", {310, 6, 10, 10})),
      arrow(Add<TJvImage>("arrow", {0, 28, 9, 150})),
      Proxy_Address(Add<TLabel>("Proxy_Address", {26, 64, 229, 27})),
      TrayIcon(*this),
      Showprogram1(TrayMenu.Add(Item("Showprogram1", "Show Nimbra", kShowFormShortcut, true))),
      StartProxy1(
          TrayMenu.Add(Item("StartProxy1", "Start Proxy Ctrl+Shift+S", kStartStopShortcut))),
      Options1((TrayMenu.Add(Separator("N1")), TrayMenu.Add(Item("Options1", "Options...")))),
      Help1(TrayMenu.Add(Item("Help1", "Help"))),
      CorvaneOnline1(TrayMenu.Add(Item("CorvaneOnline1", "Corvane Online"))),
      Exit2((TrayMenu.Add(Separator("N2")), TrayMenu.Add(Item("Exit2", "Exit")))),
      ShowFormHotKey(*this, kShowFormShortcut),
      StartStopHotKey(*this, kStartStopShortcut),
      SwitchProxyTimer(*this, 20000, false),
      ShowProxyLoadingTimer(*this, 5000, false),
      FSeams(Seams),
      FTorControl(TorControl) {
  if (!FSeams.StartAddressLookup) {
    // One lookup thread at a time, however often the window asks.
    auto lookups = std::make_shared<TAddressLookups>(FSeams.IPLookup);
    FSeams.StartAddressLookup = [lookups](TIPFoundEvent handler) {
      lookups->Request(std::move(handler));
    };
  }
  DragElement = &back;
  ToggleAnonimityImage.Hint = "Start/Stop proxy";
  ToggleAutoSwitchImage.Hint = "Turn proxies auto switching on/off";
  check.Hint = "Check current proxy for availability";
  lamp.Hint = "Proxy availability indicator";
  arrow.Hint = "Show additional options";
  Proxy_Address.Font.face = "LcdD";
  Proxy_Address.Font.height = 24;
  Proxy_Address.Font.cell_height = true;
  Proxy_Address.Font.colour = gui::Rgb(79, 79, 79);
  Proxy_Address.Font.right_to_left = true;
  Proxy_Address.SetCaption("Retrieving IP address");
  TrayIcon.SetHint("Nimbra");

  ToggleAnonimityImage.OnClick = [this] { ToggleAnonimityImageClick(); };
  ToggleAutoSwitchImage.OnClick = [this] { ToggleAutoSwitchImageClick(); };
  check.OnClick = [this] { checkClick(); };
  exit_button.OnClick = [this] { exit_buttonClick(); };
  minim.OnClick = [this] { Minimize(); };
  about.OnClick = [this] {
    if (FOptionsForm != nullptr) FOptionsForm->ShowModal(TOptionsForm::TPage::About);
  };
  arrow.OnClick = [this] { ArrowClick(); };
  TrayMenu.OnPopup = [this] { TrayMenuPopup(); };
  Showprogram1.OnClick = [this] { ShowHideToggle(); };
  StartProxy1.OnClick = [this] { SetStarted(!FStarted); };
  Options1.OnClick = [this] {
    if (FOptionsForm != nullptr) FOptionsForm->ShowModal(TOptionsForm::TPage::General);
  };
  Help1.OnClick = [this] { ShowHelp(); };
  CorvaneOnline1.OnClick = [this] {
    Gui().ShellOpen(&Window(), kMakerSite, gui::ShowCommand::Normal);
  };
  Exit2.OnClick = [this] { Exit2Click(); };
  ShowFormHotKey.OnHotKey = [this] { ShowHideToggle(); };
  StartStopHotKey.OnHotKey = [this] { SetStarted(!FStarted); };
  SwitchProxyTimer.OnTimer = [this] { SwitchProxyTimerTimer(); };
  ShowProxyLoadingTimer.OnTimer = [this] { ShowProxyLoadingTimerTimer(); };

  // Present from creation on: the tray icon and both hot keys.
  TrayIcon.SetActive(true);
  ShowFormHotKey.SetActive(true);
  StartStopHotKey.SetActive(true);
  UpdateHints();

  // The window is loaded from its design: its language controller translates
  // it before the creation handler runs.
  FLangController = std::make_unique<TDKLanguageController>(*this, NimbraMainFormLangData());
  FLangController->Loaded();
  UpdateHints();
}

TNimbraMainForm::~TNimbraMainForm() { FormDestroy(); }

void TNimbraMainForm::SetCompanions(TMenuForm* Menu, TClosingForm* Closing, TOptionsForm* Options) {
  FMenuForm = Menu;
  FClosingForm = Closing;
  FOptionsForm = Options;
}

std::optional<std::string> TNimbraMainForm::GetPropertyText(const std::string& Component,
                                                            const std::string& Property) const {
  if (Component.empty()) {
    if (Property == "Caption") return Window().Title();
    return std::nullopt;
  }
  if (Component == "TrayIcon" && Property == "Hint") return TrayIcon.Hint();
  if (Component == "Proxy_Address" && Property == "Caption") return Proxy_Address.Caption();
  if (Property == "Hint") {
    if (TGraphicElement* element = FindElement(Component)) return element->Hint;
    return std::nullopt;
  }
  if (Property == "Caption") {
    if (TMenuItem* item = const_cast<TPopupMenu&>(TrayMenu).Find(Component)) return item->Caption;
  }
  return std::nullopt;
}

void TNimbraMainForm::SetPropertyText(const std::string& Component, const std::string& Property,
                                      const std::string& Value) {
  if (Component.empty()) {
    if (Property == "Caption") Window().SetTitle(Value);
    return;
  }
  if (Component == "TrayIcon" && Property == "Hint") {
    TrayIcon.SetHint(Value);
  } else if (Component == "Proxy_Address" && Property == "Caption") {
    Proxy_Address.SetCaption(Value);
  } else if (Property == "Hint") {
    if (TGraphicElement* element = FindElement(Component)) element->Hint = Value;
  } else if (Property == "Caption") {
    if (TMenuItem* item = TrayMenu.Find(Component)) item->Caption = Value;
  }
}

// ---------------------------------------------------------------------------
// Window life

void TNimbraMainForm::FormCreate() {
  FSeams.MessageFilter(ShowRequestMessage, MSGFLT_ADD);
  Application().Title = kProductName;
  Window().SetTitle(kProductName);
  TrayIcon.SetHint(kProductName);
  // The address label's face comes from this file.
  Gui().AddFontFile(platform::IncludeTrailingDelimiter(
                        platform::GetSpecialFolder(platform::SpecialFolder::Fonts)) +
                    kFontFile);
  FStarted = false;
  FAutoswitch = false;
  FProgress = 0;
  LastLeft = Window().Bounds().left;
  LastTop = Window().Bounds().top;
  // The window thread's errors are swallowed (the exception log, when on,
  // has recorded them as they were raised).
  Application().OnException = [](std::exception_ptr) {};
  {
    TOptions options;
    if (options.GetOption("RunMinim", false) && !options.GetOption("FirstRun", false)) {
      Application().ShowMainForm = false;
    }
  }
  FPipeClient = std::make_unique<TPipeClient>(FSeams.PipeName, FSeams.StartEventName);
  FPipeClient->SetOnResponse(
      [this](const void* Data, std::uint32_t DataSize) { PipeResponse(Data, DataSize); });
  FPipeClient->Start();
  SetOptions();
  Window().SetRoundRectRegion(0, 0, 330, 180, 26, 25);
}

void TNimbraMainForm::DoShow() {
  const gui::Rect area = Gui().WorkArea();
  Window().SetPosition({area.Right() - Window().Bounds().width - 80, 100});
  UpdateIndicator();
}

void TNimbraMainForm::FormDestroy() {
  if (!FPipeClient) return;
  // The client is stopped and released with the window: a worker that
  // outlived it would call into a window that is gone.
  FPipeClient->Terminate();
  FPipeClient.reset();
}

// ---------------------------------------------------------------------------
// Anonymity

void TNimbraMainForm::SetButtonPictures(TJvImage& Button, const std::string& Normal,
                                        const std::string& Pressed, const std::string& Hover) {
  auto load = [](TPicture& picture, const std::string& name) {
    if (name.empty()) {
      picture.Clear();
    } else {
      picture.LoadFromFile(SkinPath(name), SkinSource(name));
    }
  };
  load(Button.PictureNormal, Normal);
  Button.PictureClicked.Assign(Button.PictureNormal);
  load(Button.PicturePressed, Pressed);
  load(Button.PictureHover, Hover);
  Button.SetDefaultState();
}

void TNimbraMainForm::SetStarted(bool Value) {
  if (Value == FStarted) return;
  FStarted = Value;
  if (FStarted) {
    FTorControl.StartTor();
    SetButtonPictures(ToggleAnonimityImage, "stop.jpg", "stop_down.jpg", "stop_over.jpg");
    StartProxy1.Caption = CatalogueText("Stop_proxy");
  } else {
    FTorControl.StopTor();
    SetButtonPictures(ToggleAnonimityImage, "start.jpg", "start_down.jpg", "start_over.jpg");
    StartProxy1.Caption = CatalogueText("Start_proxy");
  }
  UpdateIndicator();
}

void TNimbraMainForm::SetAutoswitch(bool Value) {
  if (Value == FAutoswitch) return;
  FAutoswitch = Value;
  if (FAutoswitch) {
    // Drawn pressed in while on.
    SetButtonPictures(ToggleAutoSwitchImage, "auto_switch_down.jpg", "auto_switch_down.jpg",
                      "auto_switch_over.jpg");
    SwitchProxyTimer.SetEnabled(true);
  } else {
    SetButtonPictures(ToggleAutoSwitchImage, "", "auto_switch_down.jpg", "auto_switch_over.jpg");
    SwitchProxyTimer.SetEnabled(false);
  }
}

void TNimbraMainForm::UpdateIndicator() {
  std::string colour;
  if (FStarted) {
    FProgress = FTorControl.GetProgressStatus();
    ShowProxyLoadingTimer.SetEnabled(true);
    if (FProgress < 100) {
      ShowStatus(CatalogueText("Starting_proxy", {FProgress}));
    } else {
      FProxyStatus.clear();
      ShowProxyLoadingTimer.SetEnabled(false);
      ShowStatus(CatalogueText("Retirieving_ip"));
      FSeams.StartAddressLookup(
          [this, alive = std::weak_ptr<bool>(FAlive)](const std::string& NewIP) {
            if (alive.lock()) IPFound(NewIP);
          });
      colour = "green";
    }
  } else {
    ShowStatus(CatalogueText("Anonymity_OFF"));
  }
  const std::string name = "lamp_" + colour + ".jpg";
  lamp.LoadPicture(SkinPath(name), SkinSource(name));
}

void TNimbraMainForm::IPFound(const std::string& NewIP) {
  FProxyStatus = NewIP;
  ShowStatus(NewIP);
}

void TNimbraMainForm::ShowStatus(const std::string& Text) {
  if (Text != Proxy_Address.Caption()) {
    LogMessage("shows \"" + Text + "\"", "TNimbraMainForm.Proxy_Address");
  }
  Proxy_Address.SetCaption(Text);
}

void TNimbraMainForm::PipeResponse(const void* Data, std::uint32_t DataSize) {
  if (!FPipeClient) return;
  // Each status query of the block gets its own answer, in order.
  AnswerStatusQueries(
      Data, DataSize, FStarted && FProgress == 100 ? StatusReady : StatusNotReady,
      [this](std::uint8_t Answer) { return FPipeClient->SendToServer(Answer, nullptr, 0); });
}

// ---------------------------------------------------------------------------
// Options and exit

void TNimbraMainForm::SetOptions() {
  TOptions options;
  if (options.GetOption("Autorun", true)) {
    platform::RegKey key;
    std::uint32_t error = key.Create(platform::RegRoot::CurrentUser, kRunKey,
                                     platform::kKeyWrite | platform::kKeyQueryValue);
    if (error == 0) error = key.SetString(kProductName, platform::ExecutablePath());
    if (error != 0)
      throw std::runtime_error("Failed to set data for '" + std::string(kProductName) + "'");
  } else {
    platform::RegKey key;
    if (key.Open(platform::RegRoot::CurrentUser, kRunKey,
                 platform::kKeyWrite | platform::kKeyQueryValue) == 0) {
      platform::RegValue value;
      if (key.Query(kProductName, value) == 0) key.DeleteValue(kProductName);
    }
  }
  const std::int32_t stored = options.GetOption("SwitchPeriod", kDefaultSwitchPeriod);
  const std::int32_t minutes = EffectiveSwitchPeriod(stored);
  if (minutes != stored) {
    LogMessage("SwitchPeriod " + std::to_string(stored) + " is out of range; using " +
                   std::to_string(minutes) + " minutes",
               "TNimbraMainForm.SetOptions");
  }
  SwitchProxyTimer.SetInterval(static_cast<std::uint32_t>(minutes) * kMsPerMinute);
}

void TNimbraMainForm::ApplyCloseAction() {
  // The dialog is already open (a key or the system got here again while it
  // waits): one is enough.
  if (FTerminating || (FClosingForm != nullptr && FClosingForm->Window().InModal())) return;
  TOptions options;
  switch (options.GetOption("X_Action", std::int32_t{kCloseActionAsk})) {
    case kCloseActionMinimize:
      ShowHideToggle();
      break;
    case kCloseActionExit:
      ConfirmExit();
      break;
    case kCloseActionAsk: {
      if (FClosingForm == nullptr) return;
      const int result = FClosingForm->ShowModal();
      // The program was ended while the dialog was open: it gave no answer.
      if (FTerminating) return;
      options.SetOption("X_Action", std::int32_t{result});
      if (result > kCloseActionExit) {
        Terminate();
      } else {
        ApplyCloseAction();
      }
      break;
    }
    default:
      break;
  }
}

void TNimbraMainForm::ConfirmExit() {
  if (FConfirming || FTerminating) return;
  FConfirming = true;
  const gui::MessageBoxResult answer =
      Gui().ShowMessageBox(&Window(), CatalogueText("After_closing_you_not_anonymous"), "Confirm",
                           gui::MessageBoxButtons::YesNo, gui::MessageBoxIcon::Question);
  FConfirming = false;
  if (answer == gui::MessageBoxResult::Yes) Terminate();
}

void TNimbraMainForm::Terminate() {
  if (FTerminating) return;
  FTerminating = true;
  Gui().QuitMessageLoop(0);
}

// ---------------------------------------------------------------------------
// Handlers

void TNimbraMainForm::ToggleAnonimityImageClick() { SetStarted(!FStarted); }

void TNimbraMainForm::ToggleAutoSwitchImageClick() {
  SetAutoswitch(!FAutoswitch);
  if (!FStarted) SetStarted(true);
}

void TNimbraMainForm::SwitchProxyTimerTimer() {
  FTorControl.SendNewNym();
  UpdateIndicator();
}

void TNimbraMainForm::ShowProxyLoadingTimerTimer() { UpdateIndicator(); }

void TNimbraMainForm::checkClick() {
  Gui().ShellOpen(&Window(), kAddressCheckPage, gui::ShowCommand::Normal);
}

void TNimbraMainForm::exit_buttonClick() { ApplyCloseAction(); }

void TNimbraMainForm::Exit2Click() { ConfirmExit(); }

void TNimbraMainForm::DoMessage(std::uint32_t Message) {
  if (Message == ShowRequestMessage) TrayIcon.ShowApplication();
}

void TNimbraMainForm::DoCloseRequest() {
  // Alt+F4 on the borderless window acts as its close image.
  ApplyCloseAction();
}

// ---------------------------------------------------------------------------
// Presentation

void TNimbraMainForm::LoadSkins() {
  back.LoadPicture(SkinPath("Main.jpg"), SkinSource("Main.jpg"));
  ToggleAnonimityImage.LoadSkinPictures("start_down.jpg", "start_over.jpg");
  ToggleAutoSwitchImage.LoadSkinPictures("auto_switch_down.jpg", "auto_switch_over.jpg");
  check.LoadSkinPictures("check_down.jpg", "check_over.jpg");
  arrow.LoadSkinPictures("", "arrow_left_over.jpg");
  exit_button.LoadSkinPictures("exit_down.jpg", "exit_over.jpg");
  about.LoadSkinPictures("about_down.jpg", "about_over.jpg");
  minim.LoadSkinPictures("minim_down.jpg", "minim_over.jpg");
}

void TNimbraMainForm::UpdateArrow() {
  const bool shown = FMenuForm != nullptr && FMenuForm->Visible();
  if (shown) {
    SetButtonPictures(arrow, "arrow_right.jpg", "", "arrow_right_over.jpg");
  } else {
    SetButtonPictures(arrow, "", "", "arrow_left_over.jpg");
  }
}

void TNimbraMainForm::MenuPanelClosed() {
  ArrowClick();
  arrow.PictureNormal.LoadFromFile(SkinPath("arrow_left.jpg"), SkinSource("arrow_left.jpg"));
  arrow.SetDefaultState();
  arrow.Invalidate();
}

void TNimbraMainForm::ArrowClick() {
  if (FMenuForm == nullptr) return;
  if (FMenuForm->Visible()) {
    FMenuForm->Hide();
  } else {
    const gui::Rect bounds = Window().Bounds();
    FMenuForm->PlaceBeside(bounds.left, bounds.top, bounds.height);
    FMenuForm->Show();
  }
  UpdateArrow();
}

void TNimbraMainForm::ShowHelp() {
  Gui().ShellOpen(&Window(), ApplicationFolder() + kHelpFile, gui::ShowCommand::Normal);
}

void TNimbraMainForm::TrayMenuPopup() {
  Showprogram1.Caption = CatalogueText(Window().Visible() ? "Hide_Nimbra" : "Show_Nimbra");
}

void TNimbraMainForm::ShowHideToggle() {
  // After a start in the tray the component still counts the application as
  // shown: make it count what the user sees.
  if (TrayIcon.ApplicationVisible() && !Application().ShowMainForm && !Window().Visible()) {
    TrayIcon.HideApplication();
  }
  if (TrayIcon.ApplicationVisible()) {
    TrayIcon.HideApplication();
  } else {
    TrayIcon.ShowApplication();
  }
}

void TNimbraMainForm::Minimize() {
  TrayIcon.HideApplication();
  if (FMenuForm != nullptr && FMenuForm->Visible()) {
    FMenuForm->Hide();
    UpdateArrow();
  }
}

void TNimbraMainForm::DisplayHint(const std::string& Hint) {
  if (Window().Active() || FOptionsForm == nullptr) return;
  const std::size_t bar = Hint.find('|');
  FOptionsForm->SetStatusText(bar == std::string::npos ? Hint : Hint.substr(bar + 1));
}

void TNimbraMainForm::DoDragStart() {
  LastLeft = Window().Bounds().left;
  LastTop = Window().Bounds().top;
}

void TNimbraMainForm::DoMoved(const gui::Rect& Bounds) {
  // The panel follows the window whether it is shown or not.
  if (FMenuForm != nullptr) FMenuForm->MoveBy(Bounds.left - LastLeft, Bounds.top - LastTop);
  LastLeft = Bounds.left;
  LastTop = Bounds.top;
}

void TNimbraMainForm::DoSurfacePress() { ShowHelp(); }

bool TNimbraMainForm::DoKeyDown(int Key, std::uint16_t /*Shift*/) {
  if (Key != gui::kKeyF1) return false;
  ShowHelp();
  return true;
}

void TNimbraMainForm::DoTray(gui::TrayEvent Event, gui::Point Screen) {
  switch (Event) {
    case gui::TrayEvent::LeftDown:
      ShowHideToggle();
      break;
    case gui::TrayEvent::RightClick:
      TrayMenu.Popup(Window(), Screen);
      break;
    case gui::TrayEvent::LeftDoubleClick:
      // The default item; the double click's press has toggled once already.
      if (Showprogram1.OnClick) Showprogram1.OnClick();
      break;
  }
}

void TNimbraMainForm::DoMinimized() { Minimize(); }
