// The options dialog: a tab per page over one frame, the five user options
// on its "General" page, the bridges on its "Connection" page and the
// product's "About" page, with OK, Cancel, Help and a status bar that shows
// the hint of the control under the pointer. A page is a tab and the controls shown while it is
// selected; a new page is one more entry in the page list.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

  std::vector<TTextBox> TextBoxes() const override;
  // The tabs' captions (component "<page>Page"), then the form's own.
  std::optional<std::string> GetPropertyText(const std::string& Component,
                                             const std::string& Property) const override;
  void SetPropertyText(const std::string& Component, const std::string& Property,
                       const std::string& Value) override;

  TPicture about_logo;

 protected:
  void DoCommand(int ControlId) override;
  void DoCloseRequest() override;
  bool DoKeyDown(int Key, std::uint16_t Shift) override;
  void DoPointerOverControl(int ControlId) override;
  void DoTranslated() override;

 private:
  // A tab and the controls it shows.
  struct TPageEntry {
    TPage Page;
    std::string Component;  // its caption's component name
    std::string Caption;
    std::vector<int> Controls;
  };
  void ShowPage(TPage Page);
  TPageEntry* FindPage(const std::string& Component);
  // Puts the pages' captions on the tab strip.
  void UpdateTabs();
  gui::Control& Add(gui::ControlKind Kind, int Id, const std::string& Name, gui::Rect Bounds,
                    const std::string& Text, const std::string& Hint = "");
  std::vector<TPageEntry> FPages;
  void SetConnectionTexts();
  void EnableBridgeControls();
  TOptionsLinks FLinks;
};

inline constexpr char kMakerSite[] = "http://www.corvane.com/";
inline constexpr char kProductVersionNumber[] = "1.4";
inline constexpr char kProductPage[] = "http://www.corvane.com/products/nimbra/index.html";
inline constexpr char kSupportMail[] = "mailto:support@corvane.com?subject=Nimbra";
