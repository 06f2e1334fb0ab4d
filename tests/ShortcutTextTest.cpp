// How shortcuts read in menus and the log: modifiers in a fixed order, then
// the key; function keys and keys without a name of their own.
#include <gtest/gtest.h>

#include "platform/gui/Gui.h"

namespace {

using gui::ShortcutText;

TEST(ShortcutTextTest, ModifiersComeInOrderBeforeTheKey) {
  EXPECT_EQ(ShortcutText(gui::kShortcutCtrl | gui::kShortcutShift | 'N'), "Ctrl+Shift+N");
  EXPECT_EQ(ShortcutText(gui::kShortcutAlt | gui::kShortcutCtrl | '7'), "Ctrl+Alt+7");
  EXPECT_EQ(ShortcutText(gui::kShortcutShift | gui::kKeyEscape), "Shift+Esc");
  EXPECT_EQ(ShortcutText(gui::kKeyReturn), "Enter");
  EXPECT_EQ(ShortcutText(0), "");
  EXPECT_EQ(ShortcutText(gui::kShortcutCtrl), "Ctrl+");
}

TEST(ShortcutTextTest, FunctionKeysAreNumberedAndOtherKeysShowTheirCode) {
  EXPECT_EQ(ShortcutText(gui::kKeyF1), "F1");
  EXPECT_EQ(ShortcutText(gui::kShortcutCtrl | (gui::kKeyF1 + 11)), "Ctrl+F12");
  EXPECT_EQ(ShortcutText(gui::kKeyF1 + 23), "F24");
  // One past F24 has no name.
  EXPECT_EQ(ShortcutText(gui::kKeyF1 + 24), "#136");
  EXPECT_EQ(ShortcutText(gui::kShortcutAlt | gui::kKeyTab), "Alt+#9");
  EXPECT_EQ(ShortcutText('a'), "#97") << "only capital letters are keys";
}

}  // namespace
