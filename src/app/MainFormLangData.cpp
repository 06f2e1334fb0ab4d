#include "app/MainFormLangData.h"

#include "ui/DKLang.h"

const std::vector<TLangDesignText>& NimbraMainFormDesignTexts() {
  static const std::vector<TLangDesignText> texts = {
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
  };
  return texts;
}

const std::string& NimbraMainFormLangData() {
  static const std::string data = [] {
    // Every component in design order: the window's elements from back to
    // front, then its non-visual companions.
    static const char* const kComponents[] = {
        "back",
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
    };
    TLangCompEntry root;
    root.Name = kNimbraMainFormName;
    for (const TLangDesignText& text : NimbraMainFormDesignTexts()) {
      if (text.Component.empty()) root.Props.push_back({text.ID, text.Property});
    }
    for (const char* name : kComponents) {
      TLangCompEntry child;
      child.Name = name;
      for (const TLangDesignText& text : NimbraMainFormDesignTexts()) {
        if (text.Component == name) child.Props.push_back({text.ID, text.Property});
      }
      root.Children.push_back(std::move(child));
    }
    return SaveLangData(root);
  }();
  return data;
}
