// The options dialog: the five user options on its "General" page, and the
// product's "About" page.
#pragma once

#include <functional>

#include "ui/Forms.h"

// What the dialog does outside itself.
struct TOptionsLinks {
  // The options were stored: apply them.
  std::function<void()> ApplyOptions;
  std::function<void()> ShowHelp;
  // The pointer is over a control with this hint ("" for none).
  std::function<void(const std::string& Hint)> DisplayHint;
};

class TOptionsForm : public TSkinForm {
 public:
  enum class TPage { General, About };
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
  std::vector<int> FGeneralControls;
  std::vector<int> FAboutControls;
  TOptionsLinks FLinks;
};

inline constexpr char kMakerSite[] = "http://www.corvane.com/";
inline constexpr char kProductVersion[] = "Version 1.4";
inline constexpr char kProductPage[] = "http://www.corvane.com/products/nimbra/index.html";
inline constexpr char kSupportMail[] = "mailto:support@corvane.com?subject=Nimbra";
