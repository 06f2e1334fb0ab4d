#include "app/MainFormLangData.h"

// Each window's components are listed in design order: its elements from
// back to front, then its controls in creation order, then its non-visual
// companions. Texts the program composes (the status, the start/stop
// button's caption, the version) are catalogue constants instead.

const TLangWindowDesign& NimbraMainFormDesign() {
  static const TLangWindowDesign design{
      kNimbraMainFormName,
      {
          "back",
          "Slogan",
          "StatusCaption",
          "LampCaption",
          "StartStopKey",
          "StartStopKeyText",
          "ShowHideKey",
          "ShowHideKeyText",
          "ToggleAnonimityImage",
          "ToggleAutoSwitchImage",
          "check",
          "lamp",
          "minim",
          "about",
          "exit_button",
          "arrow",
          "Proxy_Address",
          "TrayIcon",
          "TrayMenu",
          "Showprogram1",
          "StartProxy1",
          "N1",
          "Options1",
          "Help1",
          "CorvaneOnline1",
          "N2",
          "Exit2",
          "ShowFormHotKey",
          "StartStopHotKey",
          "SwitchProxyTimer",
          "ShowProxyLoadingTimer",
      },
      {
          {1, "", "Caption", "Nimbra"},
          {151, "Options1", "Caption", "Options..."},
          {152, "Help1", "Caption", "Help"},
          {155, "TrayIcon", "Hint", "Nimbra"},
          {156, "ToggleAnonimityImage", "Hint", "Start/Stop proxy"},
          {157, "ToggleAutoSwitchImage", "Hint", "Turn proxies auto switching on/off"},
          {158, "check", "Hint", "Check current proxy for availability"},
          {159, "lamp", "Hint", "Proxy availability indicator"},
          {160, "arrow", "Hint", "Show additional options"},
          {161, "Showprogram1", "Caption", "Show Nimbra"},
          {162, "StartProxy1", "Caption", "Start Proxy Ctrl+Shift+S"},
          {164, "CorvaneOnline1", "Caption", "Corvane Online"},
          {165, "Exit2", "Caption", "Exit"},
          {166, "Proxy_Address", "Caption", "Retrieving IP address"},
          {167, "Slogan", "Caption", "Anonymity at a click"},
          {168, "StatusCaption", "Caption", "STATUS"},
          {169, "LampCaption", "Caption", "READY"},
          {170, "ToggleAutoSwitchImage", "Caption", "Auto"},
          {171, "check", "Caption", "Check"},
          {172, "StartStopKeyText", "Caption", "start / stop"},
          {173, "ShowHideKeyText", "Caption", "show / hide"},
      }};
  return design;
}

const TLangWindowDesign& MenuFormDesign() {
  static const TLangWindowDesign design{
      kMenuFormName,
      {"back", "TitleLabel", "options", "OptionsNote", "HelpNote", "help", "TipsHeading",
       "StartStopTipKey", "StartStopTip", "ShowHideTipKey", "ShowHideTip", "TrayTip",
       "AutoSwitchTip", "CloseTip", "exit_button"},
      {
          {1, "", "Caption", "Nimbra"},
          {2, "TitleLabel", "Caption", "menu"},
          {3, "options", "Caption", "Options"},
          {4, "help", "Caption", "Help"},
          {5, "OptionsNote", "Caption", "Start-up and switching"},
          {6, "HelpNote", "Caption", "How Nimbra works"},
          {7, "TipsHeading", "Caption", "TIPS"},
          {8, "StartStopTip", "Caption", "starts or stops the proxy."},
          {9, "ShowHideTip", "Caption", "shows or hides this window."},
          {10, "TrayTip", "Caption", "Right-click the tray icon for the full menu."},
          {11, "AutoSwitchTip", "Caption",
           "Auto switch takes a new identity every 30 minutes; set the interval in Options."},
          {12, "CloseTip", "Caption", "Close your browsers before you quit Nimbra."},
      }};
  return design;
}

const TLangWindowDesign& OptionsFormDesign() {
  static const TLangWindowDesign design{
      kOptionsFormName,
      {"PageControl",       "GeneralPage",
       "ConnectionPage",    "AboutPage",
       "PageFrame",         "StartupGroup",
       "RunStartup",        "RunMinim",
       "StartStartup",      "ProxyGroup",
       "AutoSwitchStartup", "SwitchPeriodLabel1",
       "SwitchPeriodEdit",  "SwitchPeriodLabel2",
       "about_img",         "ProductName",
       "VersionLabel",      "DescriptionLabel",
       "LinkLabel1",        "LinkLabel2",
       "LinkLabel3",        "ok2",
       "CancelButton",      "HelpButton",
       "StatusBar"},
      {
          {1, "", "Caption", "Options"},
          {2, "GeneralPage", "Caption", "General"},
          {3, "AboutPage", "Caption", "About"},
          {4, "StartupGroup", "Caption", "Startup options"},
          {5, "RunStartup", "Caption", "Run on Windows &startup"},
          {6, "RunStartup", "Hint", "Let Nimbra run on Windows startup"},
          {7, "RunMinim", "Caption", "Run &minimized"},
          {8, "RunMinim", "Hint", "Make Nimbra run minimized to system tray"},
          {9, "StartStartup", "Caption", "Activate proxy on startup"},
          {10, "StartStartup", "Hint", "Make Nimbra automatically activate proxy on startup"},
          {11, "ProxyGroup", "Caption", "Proxy options"},
          {12, "AutoSwitchStartup", "Caption", "Auto switch proxies from startup"},
          {13, "AutoSwitchStartup", "Hint",
           "Make Nimbra automatically switch proxies from the moment of startup"},
          {14, "SwitchPeriodLabel1", "Caption", "Automatically switch proxies every"},
          {15, "SwitchPeriodEdit", "Hint", "Specify how often proxies should be switched"},
          {16, "SwitchPeriodLabel2", "Caption", "minutes"},
          {17, "DescriptionLabel", "Caption", "Nimbra is a powerful anonymizer"},
          {18, "LinkLabel2", "Caption", "Product information"},
          {19, "LinkLabel3", "Caption", "Support"},
          {20, "ok2", "Caption", "&OK"},
          {21, "ok2", "Hint", "Apply changes and close this window"},
          {22, "CancelButton", "Caption", "&Cancel"},
          {23, "CancelButton", "Hint", "Exit this window without saving options"},
          {24, "HelpButton", "Caption", "&Help"},
          {25, "HelpButton", "Hint", "View help for the current page of Options dialog"},
          {26, "ConnectionPage", "Caption", "Connection"},
      }};
  return design;
}

const TLangWindowDesign& ClosingFormDesign() {
  static const TLangWindowDesign design{
      kClosingFormName,
      {"Label3", "Image2", "Image1", "Image3", "RadioButton1", "RadioButton2", "RadioButton3",
       "Button3", "Button4"},
      {
          {1, "", "Caption", "Closing Nimbra..."},
          {2, "Label3", "Caption",
           "You are going to close Nimbra. Please, select one of the following actions:"},
          {3, "RadioButton1", "Caption", "Always c&lose Nimbra with X (close window) button"},
          {4, "RadioButton2", "Caption", "Always &minimize Nimbra with X (close window) button"},
          {5, "RadioButton3", "Caption", "Close Nimbra now and &ask this next time"},
          {6, "Button3", "Caption", "&OK"},
          {7, "Button4", "Caption", "&Cancel"},
      }};
  return design;
}

const TLangWindowDesign& TutorialFormDesign() {
  static const TLangWindowDesign design{
      kTutorialFormName,
      {"back",           "TitleLabel",    "Welcome",      "Intro",       "Item1Title",
       "Item1Text",      "Item2Title",    "Item2Text",    "Item3Title",  "Item3Text",
       "Item4Title",     "Item4Text",     "Item5Title",   "Item5Text",   "Item6Title",
       "Item6Text",      "Item7Title",    "Item7Text",    "TrayHeading", "TrayText",
       "HotKeysHeading", "StartStopKeys", "ShowHideKeys", "HotKeysNote", "OptionsHeading",
       "OptionsText",    "ok_button",     "exit_button"},
      {
          {1, "", "Caption", "Nimbra"},
          {2, "TitleLabel", "Caption", "first steps"},
          {3, "Welcome", "Caption", "Welcome to Nimbra"},
          {4, "Intro", "Caption",
           "Nimbra makes your web browsing anonymous. Here is what each control does."},
          {5, "Item1Title", "Caption", "Start / Stop"},
          {6, "Item1Text", "Caption",
           "Switches anonymity on or off. Set your browser to the SOCKS proxy 127.0.0.1, "
           "port 35491."},
          {7, "Item2Title", "Caption", "The lamp"},
          {8, "Item2Text", "Caption",
           "Dark while anonymity is off or still starting; green when it is on and ready."},
          {9, "Item3Title", "Caption", "The display"},
          {10, "Item4Title", "Caption", "Auto switch"},
          {11, "Item4Text", "Caption",
           "While pressed in, Nimbra takes a new identity every 30 minutes (see Options)."},
          {12, "Item5Title", "Caption", "Check"},
          {13, "Item5Text", "Caption", "Opens a web page that shows the address web sites see."},
          {14, "Item6Title", "Caption", "The arrow"},
          {15, "Item6Text", "Caption", "Slides out the menu panel with Options, Help and tips."},
          {16, "Item7Title", "Caption", "About, minimize, close"},
          {17, "Item7Text", "Caption",
           "Minimize hides Nimbra in the tray, where it keeps running."},
          {18, "TrayHeading", "Caption", "TRAY ICON"},
          {19, "TrayText", "Caption",
           "Nimbra lives in the notification area beside the clock. Right-click its icon for "
           "Show/Hide Nimbra, Start/Stop proxy, Options..., Help and Exit."},
          {20, "HotKeysHeading", "Caption", "HOT KEYS"},
          {21, "StartStopKeys", "Caption", "switch anonymity on or off"},
          {22, "ShowHideKeys", "Caption", "show or hide Nimbra"},
          {23, "HotKeysNote", "Caption", "They work in any program, also while Nimbra is hidden."},
          {24, "OptionsHeading", "Caption", "OPTIONS"},
          {25, "OptionsText", "Caption",
           "Open them from the menu panel or the tray icon: run Nimbra on Windows startup, start "
           "it minimized, start the proxy and auto switching right away, and set how often "
           "identities switch. Press F1 there for help."},
          {26, "ok_button", "Caption", "OK"},
      }};
  return design;
}

const std::vector<const TLangWindowDesign*>& TranslatedWindows() {
  static const std::vector<const TLangWindowDesign*> windows = {
      &NimbraMainFormDesign(), &MenuFormDesign(), &OptionsFormDesign(), &ClosingFormDesign(),
      &TutorialFormDesign()};
  return windows;
}

const std::vector<TLangDesignText>& NimbraMainFormDesignTexts() {
  return NimbraMainFormDesign().Texts;
}

const std::string& NimbraMainFormLangData() {
  static const std::string data = NimbraMainFormDesign().LangData();
  return data;
}
