// The main window: its skinned elements, tray icon, hot keys and timers, and
// the logic behind them that turns anonymity on and off, follows the engine's
// progress, switches identity, answers the companion service and ends the
// program. Everything here runs on the window thread; the address lookup and
// the pipe client report into it through synchronized calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MainFormLangData.h"
#include "app/OptionsFormUnit.h"
#include "app/ProgramSeams.h"
#include "base/Product.h"
#include "engine/TorControl.h"
#include "pipe/PipeClient.h"
#include "ui/DKLang.h"
#include "ui/Forms.h"

inline constexpr char kMainFormClass[] = "TNimbraMainForm";
// Posted by a second start of the program: show yourself.
inline constexpr std::uint32_t ShowRequestMessage = 9;
inline constexpr std::uint16_t kShowFormShortcut = 24654;   // Ctrl+Shift+N
inline constexpr std::uint16_t kStartStopShortcut = 24659;  // Ctrl+Shift+S
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::int32_t kDefaultSwitchPeriod = 30;
// The longest period whose milliseconds fit the timer (about 24.8 days).
inline constexpr std::int32_t kMaxSwitchPeriod = 35791;
inline constexpr char kAddressCheckPage[] = "http://ip.corvane.com/";

class TMenuForm;
class TClosingForm;

// The minutes of "SwitchPeriod" as the timer takes them (a value that is not
// a whole number has already read as 30): a negative period is no period and
// gives 30 as well; more than the timer can hold gives the longest it can.
std::int32_t EffectiveSwitchPeriod(std::int32_t Minutes);

class TNimbraMainForm : public TSkinForm {
 public:
  TNimbraMainForm(const TProgramSeams& Seams, TEngineControl& TorControl);
  ~TNimbraMainForm() override;

  // The creation handler (after the design is loaded and translated).
  void FormCreate();
  void FormDestroy();
  // The windows made after this one, which its handlers open and follow.
  void SetCompanions(TMenuForm* Menu, TClosingForm* Closing, TOptionsForm* Options);

  bool Started() const { return FStarted; }
  bool Autoswitch() const { return FAutoswitch; }
  int Progress() const { return FProgress; }
  const std::string& ProxyStatus() const { return FProxyStatus; }

  void SetStarted(bool Value);
  void SetAutoswitch(bool Value);
  void UpdateIndicator();
  void IPFound(const std::string& NewIP);
  // Puts the tray hint about an unreachable network up or takes it down.
  void ShowNetworkProblem(bool Stuck);
  void PipeResponse(const void* Data, std::uint32_t DataSize);
  void SetOptions();
  void ApplyCloseAction();
  void ConfirmExit();

  // Presentation.
  // This window's start-up pictures; a picture that cannot be read raises,
  // and the pictures after it stay unloaded.
  void LoadSkins();
  // The menu panel was closed with its own close button.
  void MenuPanelClosed();
  void UpdateArrow();
  void ShowHelp();
  void TrayMenuPopup();
  void ShowHideToggle();
  void Minimize();
  void ArrowClick();
  void DisplayHint(const std::string& Hint);

  // Elements and companions.
  TImage& back;
  TLabel& Slogan;
  TLabel& StatusCaption;
  TLabel& LampCaption;
  TLabel& StartStopKey;
  TLabel& StartStopKeyText;
  TLabel& ShowHideKey;
  TLabel& ShowHideKeyText;
  TJvImage& ToggleAnonimityImage;
  TJvImage& ToggleAutoSwitchImage;
  TJvImage& check;
  TImage& lamp;
  TJvImage& minim;
  TJvImage& about;
  TJvImage& exit_button;
  TJvImage& arrow;
  TLabel& Proxy_Address;
  TJvTrayIcon TrayIcon;
  TPopupMenu TrayMenu;
  TMenuItem& Showprogram1;
  TMenuItem& StartProxy1;
  TMenuItem& Options1;
  TMenuItem& Help1;
  TMenuItem& CorvaneOnline1;
  TMenuItem& Exit2;
  TJvApplicationHotKey ShowFormHotKey;
  TJvApplicationHotKey StartStopHotKey;
  TTimer SwitchProxyTimer;
  TTimer ShowProxyLoadingTimer;

  int LastLeft = 0;
  int LastTop = 0;

  TPipeClient* PipeClient() const { return FPipeClient.get(); }

  // The status label's face: the LCD face when it draws every text the
  // label can show in the current language, else a plain one, so that the
  // label keeps one face through all its states.
  void ChooseStatusFace();
  std::vector<TTextBox> TextBoxes() const override;

  // TDKLangWindow: the form's own, the tray icon's hint and the tray menu's
  // captions.
  std::optional<std::string> GetPropertyText(const std::string& Component,
                                             const std::string& Property) const override;
  void SetPropertyText(const std::string& Component, const std::string& Property,
                       const std::string& Value) override;

 protected:
  void DoShow() override;  // FormShow
  void DoDragStart() override;
  void DoSurfacePress() override;
  bool DoKeyDown(int Key, std::uint16_t Shift) override;
  void DoTray(gui::TrayEvent Event, gui::Point Screen) override;
  void DoMessage(std::uint32_t Message) override;
  void DoMoved(const gui::Rect& Bounds) override;
  void DoMinimized() override;
  void DoCloseRequest() override;
  void DoTranslated() override;

 private:
  void ToggleAnonimityImageClick();
  void ToggleAutoSwitchImageClick();
  void SwitchProxyTimerTimer();
  void ShowProxyLoadingTimerTimer();
  void checkClick();
  void exit_buttonClick();
  void Exit2Click();
  // Ends the message loop once; later requests change nothing.
  void Terminate();
  // Sets the label, and logs each change of what it shows: the debug log is
  // then a record of the window's states (and scripts read the state from it).
  void ShowStatus(const std::string& Text);
  void SetButtonPictures(TJvImage& Button, const std::string& Normal, const std::string& Pressed,
                         const std::string& Hover);

  TProgramSeams FSeams;
  TEngineControl& FTorControl;
  TMenuForm* FMenuForm = nullptr;
  TClosingForm* FClosingForm = nullptr;
  TOptionsForm* FOptionsForm = nullptr;
  bool FStarted = false;
  bool FAutoswitch = false;
  std::int32_t FProgress = 0;
  // The engine reports a problem reaching the network, and the tray says so.
  bool FShowsNetworkProblem = false;
  std::string FTrayHintBeforeProblem;
  std::string FProxyStatus;
  std::unique_ptr<TPipeClient> FPipeClient;
  bool FFontAdded = false;
  bool FConfirming = false;
  bool FTerminating = false;
  // Lookups still under way when the window goes report to nobody.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
