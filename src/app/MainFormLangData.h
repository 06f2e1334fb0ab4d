// The main window's translatable texts: its stored property list for the
// language controller and the design texts behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The main window's component name, and so its language-file section.
inline constexpr char kNimbraMainFormName[] = "NimbraMainForm";

struct TLangDesignText {
  std::int32_t ID;
  std::string Component;  // empty for the window itself
  std::string Property;
  std::string Text;  // as designed
};

// The translatable properties in ascending ID order.
const std::vector<TLangDesignText>& NimbraMainFormDesignTexts();

// The stored property list: the window with its caption, then one entry per
// component in design order.
const std::string& NimbraMainFormLangData();
