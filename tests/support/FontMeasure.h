// Text laid out natively with FreeType in real font files, as the Win32
// backend lays it out with GDI: the face's hinted advances on one line, or
// lines broken at blanks (and between CJK characters) within a width, each
// as high as the face's cell. A face is a list of files tried in turn for
// each character, as a system links fonts; a style whose first file lacks a
// character of the text is laid out in the fallback face, as DrawString
// does.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gui/Gui.h"

namespace test_support {

class FontMeasure {
 public:
  FontMeasure();
  ~FontMeasure();
  FontMeasure(const FontMeasure&) = delete;
  FontMeasure& operator=(const FontMeasure&) = delete;

  // The files that draw `face` (regular, then bold; either may be "" for
  // the other), then the linked files for characters those lack. False when
  // a file cannot be read as a font.
  bool AddFace(const std::string& face, const std::string& regular, const std::string& bold,
               const std::vector<std::string>& linked = {});
  // The face a style falls back to when its own lacks a character.
  void SetFallbackFace(const std::string& face) { fallback_ = face; }

  std::optional<gui::Size> Measure(const std::string& text, const gui::TextStyle& style,
                                   int wrap_width) const;
  // Whether the face's first file has every character (blanks and control
  // characters aside).
  bool FaceHas(const std::string& face, char32_t c) const;

 private:
  struct Face;
  struct Loaded;
  const Face* Find(const gui::TextStyle& style, const std::u32string& text) const;
  // The advance of `c` in pixels at `em` pixels, from the first file of the
  // face that has it.
  int Advance(const Face& face, bool bold, char32_t c, int em) const;

  struct Library;
  std::unique_ptr<Library> library_;
  std::map<std::string, std::unique_ptr<Face>> faces_;
  std::string fallback_;
};

}  // namespace test_support
