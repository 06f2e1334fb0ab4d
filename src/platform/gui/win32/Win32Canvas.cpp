// Drawing: fonts, bitmaps and the canvas a window's painting draws on,
// double-buffered through GDI.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/gui/win32/Win32GuiInternal.h"
#include "platform/win32/Wide.h"

namespace gui::win32 {

using platform::win32::W;

// A handful of fonts; controls keep using them until they are destroyed.
HFONT CachedFont(const TextStyle& style, bool underline) {
  static std::map<std::tuple<std::string, int, bool, bool, bool>, HFONT> fonts;
  const auto key =
      std::make_tuple(style.face, style.height, style.cell_height, style.bold, underline);
  const auto found = fonts.find(key);
  if (found != fonts.end()) return found->second;
  LOGFONTW font = {};
  font.lfHeight = style.cell_height ? style.height : -style.height;
  font.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
  font.lfUnderline = underline ? TRUE : FALSE;
  font.lfCharSet = DEFAULT_CHARSET;
  const std::wstring face = W(style.face);
  face.copy(font.lfFaceName, LF_FACESIZE - 1);
  HFONT handle = CreateFontIndirectW(&font);
  fonts.emplace(key, handle);
  return handle;
}

void DrawPixels(HDC dc, const Bitmap& bitmap, Point at) {
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.pixels.size() < static_cast<size_t>(bitmap.width) * bitmap.height) {
    return;
  }
  // 0x00RRGGBB in memory is the 32-bit DIB's blue, green, red, unused.
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = bitmap.width;
  info.bmiHeader.biHeight = -bitmap.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, at.x, at.y, bitmap.width, bitmap.height, 0, 0, 0, bitmap.height,
                    bitmap.pixels.data(), &info, DIB_RGB_COLORS);
}

// Whether the font selected into the DC has a glyph for every character
// (blanks and control characters aside).
bool HasAllGlyphs(HDC dc, const std::wstring& text) {
  if (text.empty()) return true;
  std::vector<WORD> glyphs(text.size());
  if (GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                       GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR) {
    return true;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (glyphs[i] == 0xFFFF && text[i] > L' ') return false;
  }
  return true;
}

HGDIOBJ SelectFontFor(HDC dc, const TextStyle& style, const std::wstring& text) {
  HGDIOBJ old_font = SelectObject(dc, CachedFont(style));
  if (!HasAllGlyphs(dc, text)) {
    TextStyle fallback = style;
    fallback.face = "Tahoma";
    SelectObject(dc, CachedFont(fallback));
  }
  return old_font;
}

UINT TextFormat(const TextStyle& style) {
  UINT format = DT_TOP | DT_NOPREFIX;
  if (style.word_wrap && !style.middle) {
    format |= DT_WORDBREAK;
  } else {
    format |= DT_SINGLELINE | (style.middle ? DT_VCENTER : 0u);
  }
  switch (style.align) {
    case TextAlign::Left:
      format |= DT_LEFT;
      break;
    case TextAlign::Centre:
      format |= DT_CENTER;
      break;
    case TextAlign::Right:
      format |= DT_RIGHT;
      break;
  }
  if (style.right_to_left) format |= DT_RTLREADING;
  return format;
}

// ---- The canvas -----------------------------------------------------------------

void Win32Canvas::FillRect(const Rect& rect, Colour colour) {
  const RECT area = ToRECT(rect);
  HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
  ::FillRect(dc_, &area, brush);
  DeleteObject(brush);
}

void Win32Canvas::DrawBitmap(const Bitmap& bitmap, Point at) { DrawPixels(dc_, bitmap, at); }

void Win32Canvas::DrawString(const std::string& text, const Rect& rect, const TextStyle& style) {
  RECT area = ToRECT(rect);
  const std::wstring wide = W(text);
  HGDIOBJ old_font = SelectFontFor(dc_, style, wide);
  SetBkMode(dc_, TRANSPARENT);
  SetTextColor(dc_, ToColorRef(style.colour));
  DrawTextW(dc_, wide.c_str(), static_cast<int>(wide.size()), &area, TextFormat(style));
  SelectObject(dc_, old_font);
}

// ---- A window's painting ----------------------------------------------------------

void Win32Window::PaintInto(HDC target, const RECT& client) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  if (width <= 0 || height <= 0) return;
  // Drawn off screen first, so that nothing flickers.
  HDC memory = CreateCompatibleDC(target);
  HBITMAP buffer = CreateCompatibleBitmap(target, width, height);
  HGDIOBJ old_bitmap = SelectObject(memory, buffer);
  ::FillRect(memory, &client, background_);
  Win32Canvas canvas(memory);
  events_.Paint(canvas);
  BitBlt(target, 0, 0, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old_bitmap);
  DeleteObject(buffer);
  DeleteDC(memory);
}

// Picture controls are drawn by their window.
void Win32Window::DrawPicture(const DRAWITEMSTRUCT& item) {
  Win32Control* control = ControlOf(item.hwndItem);
  // A mirrored window keeps its pictures the right way round.
  if (spec_.right_to_left) SetLayout(item.hDC, LAYOUT_RTL | LAYOUT_BITMAPORIENTATIONPRESERVED);
  ::FillRect(item.hDC, &item.rcItem, background_);
  if (control != nullptr)
    DrawPixels(item.hDC, control->Picture(), {item.rcItem.left, item.rcItem.top});
}

}  // namespace gui::win32
