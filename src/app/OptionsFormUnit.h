// The options dialog: the five user options on its "General" page, the
// bridges on its "Connection" page, and the product's "About" page.
#pragma once

#include <functional>

#include "engine/BridgeLines.h"
#include "engine/BridgeSettings.h"
#include "ui/Forms.h"

// What the dialog does outside itself.
struct TOptionsLinks {
  // The options were stored: apply them.
  std::function<void()> ApplyOptions;
  std::function<void()> ShowHelp;
  // The pointer is over a control with this hint ("" for none).
  std::function<void(const std::string& Hint)> DisplayHint;
  // Stores a checked bridge choice and hands it to the engine (ChangeBridges).
  std::function<TBridgeCheck(bool Enabled, TBridgeSource Source, const std::string& Lines)>
      ChangeBridges;
  // The engine's problem reaching the network, in the user's words ("" for none).
  std::function<std::string()> NetworkProblem;
};

class TOptionsForm : public TSkinForm {
 public:
  enum class TPage { General, Connection, About };
  // Control ids.
  enum : int {
    PageControl = 1,
    PageFrame,
    RunStartup,
    RunMinim,
    StartStartup,
    AutoSwitchStartup,
    SwitchPeriodEdit,
    SwitchPeriodLabel1,
    SwitchPeriodLabel2,
    StartupGroup,
    ProxyGroup,
    ok2,
    CancelButton,
    HelpButton,
    StatusBar,
    about_img,
    ProductName,
    VersionLabel,
    DescriptionLabel,
    LinkLabel1,
    LinkLabel2,
    LinkLabel3,
    BridgesGroup,
    UseBridges,
    BuiltInBridges,
    CustomBridges,
    BridgeLinesEdit,
    BridgesNote,
  };

  TOptionsForm(gui::GuiSystem& Gui, TOptionsLinks Links);
  void FormCreate();
  // The About page's logo; raises when it cannot be read.
  void LoadSkins();
  // Makes `Page` current and shows the dialog modally; true after OK.
  bool ShowModal(TPage Page);
  void SetOptionsToGUI();
  void GetOptionsFromGUI();
  void SetStatusText(const std::string& Text);
  // Checks the Connection page's lines and, when they pass and differ from
  // what is stored, stores them and tells the engine. False with the
  // checker's message in the status bar: nothing is stored then.
  bool ApplyBridgesFromGUI();

  TPicture about_logo;

 protected:
  void DoCommand(int ControlId) override;
  void DoCloseRequest() override;
  bool DoKeyDown(int Key, std::uint16_t Shift) override;
  void DoPointerOverControl(int ControlId) override;

 private:
  void ShowPage(TPage Page);
  gui::Control& Add(gui::ControlKind Kind, int Id, gui::Rect Bounds, const std::string& Text,
                    const std::string& Hint = "");
  std::vector<std::pair<int, std::string>> FHints;
  void SetConnectionTexts();
  void EnableBridgeControls();
  std::vector<int> FGeneralControls;
  std::vector<int> FConnectionControls;
  std::vector<int> FAboutControls;
  TOptionsLinks FLinks;
};

inline constexpr char kMakerSite[] = "http://www.corvane.com/";
inline constexpr char kProductVersion[] = "Version 1.4";
inline constexpr char kProductPage[] = "http://www.corvane.com/products/nimbra/index.html";
inline constexpr char kSupportMail[] = "mailto:support@corvane.com?subject=Nimbra";
