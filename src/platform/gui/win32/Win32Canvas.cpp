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

// Right-to-left reading order only where the system is set up for it: the
// Middle East metric, or a system locale that reads right to left (the
// metric alone misses systems that report it only for their own UI).
bool RightToLeftHonoured() {
  static const bool honoured = [] {
    if (GetSystemMetrics(SM_MIDEASTENABLED) != 0) return true;
    DWORD layout = 0;
    const int got =
        GetLocaleInfoW(GetSystemDefaultLCID(), LOCALE_IREADINGLAYOUT | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&layout), sizeof layout / sizeof(WCHAR));
    return got != 0 && layout == 1;
  }();
  return honoured;
}

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

// ---- The canvas -----------------------------------------------------------------

namespace {
constexpr const char* kFallbackFace = "Tahoma";
}  // namespace

void Win32Canvas::FillRect(const Rect& rect, Colour colour) {
  const RECT area = ToRECT(rect);
  HBRUSH brush = CreateSolidBrush(ToColorRef(colour));
  ::FillRect(dc_, &area, brush);
  DeleteObject(brush);
}

void Win32Canvas::DrawBitmap(const Bitmap& bitmap, Point at) { DrawPixels(dc_, bitmap, at); }

void Win32Canvas::DrawString(const std::string& text, const Rect& rect, const TextStyle& style) {
  RECT area = ToRECT(rect);
  UINT format = DT_TOP | DT_NOPREFIX | (style.word_wrap ? DT_WORDBREAK : DT_SINGLELINE);
  format |= (style.right_to_left && RightToLeftHonoured()) ? DT_RIGHT | DT_RTLREADING : DT_LEFT;
  const std::wstring wide = W(text);
  HGDIOBJ old_font = SelectObject(dc_, CachedFont(style));
  if (!HasAllGlyphs(wide)) {
    // A face without the text's script (a display font for Latin text
    // showing a translation) gives way to one the system has for it.
    TextStyle fallback = style;
    fallback.face = kFallbackFace;
    SelectObject(dc_, CachedFont(fallback));
  }
  SetBkMode(dc_, TRANSPARENT);
  SetTextColor(dc_, ToColorRef(style.colour));
  DrawTextW(dc_, wide.c_str(), static_cast<int>(wide.size()), &area, format);
  SelectObject(dc_, old_font);
}

// Whether the font selected into the DC has a glyph for every character
// (blanks and control characters aside).
bool Win32Canvas::HasAllGlyphs(const std::wstring& text) const {
  if (text.empty()) return true;
  std::vector<WORD> glyphs(text.size());
  if (GetGlyphIndicesW(dc_, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                       GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR) {
    return true;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (glyphs[i] == 0xFFFF && text[i] > L' ') return false;
  }
  return true;
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
  ::FillRect(item.hDC, &item.rcItem, background_);
  if (control != nullptr)
    DrawPixels(item.hDC, control->Picture(), {item.rcItem.left, item.rcItem.top});
}

}  // namespace gui::win32
