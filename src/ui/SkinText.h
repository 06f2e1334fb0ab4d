#pragma once

#include "platform/gui/Gui.h"

// The words the skin's windows draw over their pictures: one face that has
// every script the program is translated to, and the skin's palette.

inline constexpr gui::Colour kSkinMutedText = gui::Rgb(0x8c, 0x97, 0xa7);
inline constexpr gui::Colour kSkinBodyText = gui::Rgb(0xc3, 0xcc, 0xd8);
inline constexpr gui::Colour kSkinBrightText = gui::Rgb(0xe6, 0xeb, 0xf2);
inline constexpr gui::Colour kSkinAccent = gui::Rgb(0x33, 0xd1, 0xb0);

inline gui::TextStyle SkinText(int height, gui::Colour colour, bool bold = false,
                               bool wrap = false) {
  gui::TextStyle style;
  style.face = "Tahoma";
  style.height = height;
  style.colour = colour;
  style.bold = bold;
  style.word_wrap = wrap;
  return style;
}
