#include "platform/gui/Gui.h"

#include <cstdlib>

namespace gui {

std::string ShortcutText(std::uint16_t shortcut) {
  std::string text;
  if (shortcut & kShortcutCtrl) text += "Ctrl+";
  if (shortcut & kShortcutShift) text += "Shift+";
  if (shortcut & kShortcutAlt) text += "Alt+";
  const int key = shortcut & 0xFF;
  if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z')) {
    text += static_cast<char>(key);
  } else if (key >= kKeyF1 && key < kKeyF1 + 24) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict)
    // about the temporary of "F" + std::to_string(...).
    text += 'F';
    text += std::to_string(key - kKeyF1 + 1);
  } else if (key == kKeyEscape) {
    text += "Esc";
  } else if (key == kKeyReturn) {
    text += "Enter";
  } else if (key != 0) {
    text += '#';
    text += std::to_string(key);
  }
  return text;
}

Rect SnapToWorkArea(const Rect& proposed, const Rect& work_area, int distance) {
  Rect snapped = proposed;
  if (distance <= 0) return snapped;
  if (std::abs(proposed.left - work_area.left) < distance) {
    snapped.left = work_area.left;
  } else if (std::abs(proposed.Right() - work_area.Right()) < distance) {
    snapped.left = work_area.Right() - proposed.width;
  }
  if (std::abs(proposed.top - work_area.top) < distance) {
    snapped.top = work_area.top;
  } else if (std::abs(proposed.Bottom() - work_area.Bottom()) < distance) {
    snapped.top = work_area.Bottom() - proposed.height;
  }
  return snapped;
}

}  // namespace gui
