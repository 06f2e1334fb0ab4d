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
#include "ui/SkinText.h"

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

// The skin's palette for text: muted captions, lighter key names.
constexpr gui::Colour kMutedText = kSkinMutedText;
constexpr gui::Colour kKeyText = kSkinBodyText;
constexpr gui::Colour kStatusText = gui::Rgb(79, 79, 79);
// The buttons' captions at rest, hovered and pressed.
constexpr gui::Colour kCaptionRest = gui::Rgb(0xe6, 0xeb, 0xf2);
constexpr gui::Colour kCaptionHover = gui::Rgb(0xff, 0xff, 0xff);
constexpr gui::Colour kCaptionDown = gui::Rgb(0x9f, 0xe9, 0xd9);

// The hot-key reminders along the bottom, in two rows: the keys, then what
// they do (mirrored between these edges for a language read right to left).
constexpr int kRowsLeft = 22;
constexpr int kRowsRight = 322;
constexpr gui::Rect kStartStopKeyBox = {22, 148, 74, 12};
constexpr gui::Rect kStartStopTextBox = {98, 148, 224, 12};
constexpr gui::Rect kShowHideKeyBox = {22, 161, 74, 12};
constexpr gui::Rect kShowHideTextBox = {98, 161, 224, 12};

// The status label in the LCD face, and in the plain face of languages
// whose texts it cannot draw (smaller: the plain face is wider).
gui::TextStyle LcdStatusStyle() {
  gui::TextStyle style;
  style.face = "LcdD";
  style.height = 24;
  style.cell_height = true;
  style.colour = kStatusText;
  return style;
}

gui::TextStyle PlainStatusStyle() {
  gui::TextStyle style = SkinText(16, kStatusText);
  style.middle = true;
  return style;
}

// The widest address the label shows.
const char kWidestAddress[] = "255.255.255.255";

// A caption over a 57 x 29 button, right of its icon.
void SetButtonCaption(TJvImage& button, const std::string& caption) {
  button.Caption = caption;
  button.CaptionBox = {15, 0, 40, 29};
  button.CaptionFont = SkinText(10, kCaptionRest, true);
  button.CaptionFont.align = gui::TextAlign::Centre;
  button.CaptionFont.middle = true;
  button.HoverColour = kCaptionHover;
  button.PressedColour = kCaptionDown;
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
      Slogan(Add<TLabel>("Slogan", {26, 9, 256, 13})),
      StatusCaption(Add<TLabel>("StatusCaption", {27, 46, 228, 11})),
      LampCaption(Add<TLabel>("LampCaption", {280, 76, 50, 11})),
      StartStopKey(Add<TLabel>("StartStopKey", kStartStopKeyBox)),
      StartStopKeyText(Add<TLabel>("StartStopKeyText", kStartStopTextBox)),
      ShowHideKey(Add<TLabel>("ShowHideKey", kShowHideKeyBox)),
      ShowHideKeyText(Add<TLabel>("ShowHideKeyText", kShowHideTextBox)),
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
  Slogan.Font = SkinText(10, kMutedText);
  Slogan.SetCaption("Anonymity at a click");
  StatusCaption.Font = SkinText(8, kMutedText, true);
  StatusCaption.SetCaption("STATUS");
  LampCaption.Font = SkinText(8, kMutedText, true);
  LampCaption.Font.align = gui::TextAlign::Centre;
  LampCaption.SetCaption("READY");
  for (TLabel* key : {&StartStopKey, &ShowHideKey}) key->Font = SkinText(9, kKeyText, true);
  StartStopKey.SetCaption(gui::ShortcutText(kStartStopShortcut));
  ShowHideKey.SetCaption(gui::ShortcutText(kShowFormShortcut));
  for (TLabel* text : {&StartStopKeyText, &ShowHideKeyText}) text->Font = SkinText(9, kMutedText);
  StartStopKeyText.SetCaption("start / stop");
  ShowHideKeyText.SetCaption("show / hide");
  SetButtonCaption(ToggleAnonimityImage, CatalogueText("Button_start"));
  SetButtonCaption(ToggleAutoSwitchImage, "Auto");
  SetButtonCaption(check, "Check");
  Proxy_Address.Font = LcdStatusStyle();
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
  Translate(NimbraMainFormDesign());
}

TNimbraMainForm::~TNimbraMainForm() { FormDestroy(); }

void TNimbraMainForm::SetCompanions(TMenuForm* Menu, TClosingForm* Closing, TOptionsForm* Options) {
  FMenuForm = Menu;
  FClosingForm = Closing;
  FOptionsForm = Options;
}

std::optional<std::string> TNimbraMainForm::GetPropertyText(const std::string& Component,
                                                            const std::string& Property) const {
  if (Component == "TrayIcon" && Property == "Hint") return TrayIcon.Hint();
  if (Property == "Caption") {
    if (TMenuItem* item = const_cast<TPopupMenu&>(TrayMenu).Find(Component)) return item->Caption;
  }
  return TSkinForm::GetPropertyText(Component, Property);
}

void TNimbraMainForm::SetPropertyText(const std::string& Component, const std::string& Property,
                                      const std::string& Value) {
  if (Component == "TrayIcon" && Property == "Hint") {
    TrayIcon.SetHint(Value);
    return;
  }
  if (Property == "Caption") {
    if (TMenuItem* item = TrayMenu.Find(Component)) {
      item->Caption = Value;
      return;
    }
  }
  TSkinForm::SetPropertyText(Component, Property, Value);
}

void TNimbraMainForm::DoTranslated() {
  TrayMenu.RightToLeft = RightToLeft();
  ToggleAnonimityImage.Caption = CatalogueText(FStarted ? "Button_stop" : "Button_start");
  Place(StartStopKey, kStartStopKeyBox, kRowsLeft, kRowsRight);
  Place(StartStopKeyText, kStartStopTextBox, kRowsLeft, kRowsRight);
  Place(ShowHideKey, kShowHideKeyBox, kRowsLeft, kRowsRight);
  Place(ShowHideKeyText, kShowHideTextBox, kRowsLeft, kRowsRight);
  // Before the creation handler the label font is not there yet to ask.
  if (FFontAdded) ChooseStatusFace();
}

void TNimbraMainForm::ChooseStatusFace() {
  const gui::TextStyle lcd = LcdStatusStyle();
  const std::string shown[] = {Proxy_Address.Caption(), CatalogueText("Anonymity_OFF"),
                               CatalogueText("Retirieving_ip"),
                               CatalogueText("Starting_proxy", {100}), kWidestAddress};
  bool draws = FFontAdded;
  for (const std::string& text : shown) draws = draws && Gui().FaceDraws(lcd, text);
  Proxy_Address.Font = draws ? lcd : PlainStatusStyle();
  Proxy_Address.Invalidate();
}

std::vector<TTextBox> TNimbraMainForm::TextBoxes() const {
  std::vector<TTextBox> boxes = TSkinForm::TextBoxes();
  // What the label and the start/stop button show in their other states.
  const gui::TextStyle status = Proxy_Address.Style();
  for (const std::string& text :
       {CatalogueText("Anonymity_OFF"), CatalogueText("Retirieving_ip"),
        CatalogueText("Starting_proxy", {100}), std::string(kWidestAddress)}) {
    boxes.push_back({Proxy_Address.Name(), text, Proxy_Address.Bounds, status});
  }
  for (const char* key : {"Button_start", "Button_stop"}) {
    boxes.push_back({ToggleAnonimityImage.Name(), CatalogueText(key),
                     ToggleAnonimityImage.CaptionRect(), ToggleAnonimityImage.CaptionStyle()});
  }
  return boxes;
}

// ---------------------------------------------------------------------------
// Window life

void TNimbraMainForm::FormCreate() {
  FSeams.MessageFilter(ShowRequestMessage, MSGFLT_ADD);
  Application().Title = kProductName;
  Window().SetTitle(kProductName);
  TrayIcon.SetHint(kProductName);
  // The address label's face comes from this file.
  FFontAdded = Gui().AddFontFile(platform::IncludeTrailingDelimiter(
                                     platform::GetSpecialFolder(platform::SpecialFolder::Fonts)) +
                                 kFontFile);
  ChooseStatusFace();
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
    ToggleAnonimityImage.Caption = CatalogueText("Button_stop");
    StartProxy1.Caption = CatalogueText("Stop_proxy");
  } else {
    FTorControl.StopTor();
    SetButtonPictures(ToggleAnonimityImage, "start.jpg", "start_down.jpg", "start_over.jpg");
    ToggleAnonimityImage.Caption = CatalogueText("Button_start");
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
  ToggleAutoSwitchImage.Latched = FAutoswitch;
  ToggleAutoSwitchImage.Invalidate();
}

void TNimbraMainForm::UpdateIndicator() {
  std::string colour;
  if (FStarted) {
    FProgress = FTorControl.GetProgressStatus();
    ShowNetworkProblem(FProgress < 100 && FTorControl.LastBootstrapPhase().IsProblem());
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
    ShowNetworkProblem(false);
    ShowStatus(CatalogueText("Anonymity_OFF"));
  }
  const std::string name = "lamp_" + colour + ".jpg";
  lamp.LoadPicture(SkinPath(name), SkinSource(name));
}

void TNimbraMainForm::ShowNetworkProblem(bool Stuck) {
  if (Stuck == FShowsNetworkProblem) return;
  FShowsNetworkProblem = Stuck;
  // The label keeps its texts; the tray's hint says why nothing moves, and
  // goes back to what it said before once the engine gets on.
  if (Stuck) {
    FTrayHintBeforeProblem = TrayIcon.Hint();
    TrayIcon.SetHint(CatalogueText("Network_unreachable"));
    if (FOptionsForm != nullptr) FOptionsForm->SetStatusText(CatalogueText("Network_unreachable"));
    LogMessage("Network unreachable: " + FTorControl.LastBootstrapPhase().ProblemText(),
               "TNimbraMainForm.UpdateIndicator");
  } else {
    TrayIcon.SetHint(FTrayHintBeforeProblem);
  }
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
  const gui::MessageBoxResult answer = Gui().ShowMessageBox(
      &Window(), CatalogueText("After_closing_you_not_anonymous"), CatalogueText("Confirm"),
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
