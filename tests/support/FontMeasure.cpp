#include "support/FontMeasure.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>

namespace test_support {

namespace {

std::u32string Decode(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t c = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
    ++i;
    for (; extra > 0 && i < text.size(); --extra, ++i) {
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    out.push_back(c);
  }
  return out;
}

// Characters that take no room: marks of reading order and joining.
bool Invisible(char32_t c) {
  return c < U' ' || (c >= 0x200B && c <= 0x200F) || c == 0xFEFF || (c >= 0x202A && c <= 0x202E);
}

// Where a line may break before `c` (after a blank, or around an ideograph).
bool Ideograph(char32_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFF00 && c <= 0xFFEF);
}

}  // namespace

struct FontMeasure::Library {
  FT_Library handle = nullptr;
};

struct FontMeasure::Loaded {
  FT_Face face = nullptr;
  bool synthetic_bold = false;
};

struct FontMeasure::Face {
  std::vector<Loaded> regular;  // own file, then linked ones
  std::vector<Loaded> bold;
  // The cell (ascent + descent) in font units, and the em.
  int cell_units = 0;
  int units_per_em = 0;
};

FontMeasure::FontMeasure() : library_(std::make_unique<Library>()) {
  FT_Init_FreeType(&library_->handle);
}

FontMeasure::~FontMeasure() {
  for (auto& [name, face] : faces_) {
    for (auto* list : {&face->regular, &face->bold}) {
      for (Loaded& loaded : *list) {
        if (!loaded.synthetic_bold || list == &face->regular) FT_Done_Face(loaded.face);
      }
    }
  }
  if (library_->handle != nullptr) FT_Done_FreeType(library_->handle);
}

bool FontMeasure::AddFace(const std::string& face, const std::string& regular,
                          const std::string& bold, const std::vector<std::string>& linked) {
  if (library_->handle == nullptr) return false;
  auto open = [this](const std::string& path) -> FT_Face {
    FT_Face handle = nullptr;
    if (path.empty() || FT_New_Face(library_->handle, path.c_str(), 0, &handle) != 0) {
      return nullptr;
    }
    return handle;
  };
  auto entry = std::make_unique<Face>();
  FT_Face own = open(regular.empty() ? bold : regular);
  if (own == nullptr) return false;
  entry->regular.push_back({own, false});
  FT_Face own_bold = bold.empty() || bold == regular ? nullptr : open(bold);
  if (!bold.empty() && bold != regular && own_bold == nullptr) return false;
  // No bold file: the system emboldens the regular glyphs.
  entry->bold.push_back(own_bold != nullptr ? Loaded{own_bold, false} : Loaded{own, true});
  for (const std::string& path : linked) {
    FT_Face other = open(path);
    if (other == nullptr) return false;
    entry->regular.push_back({other, false});
    entry->bold.push_back({other, true});
  }
  // The cell as the system takes it: the Windows ascent and descent, or
  // the horizontal header's where the font has no such table.
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(own, FT_SFNT_OS2));
  entry->cell_units = os2 != nullptr && os2->usWinAscent + os2->usWinDescent > 0
                          ? os2->usWinAscent + os2->usWinDescent
                          : own->ascender - own->descender;
  entry->units_per_em = own->units_per_EM;
  faces_[face] = std::move(entry);
  return true;
}

bool FontMeasure::FaceHas(const std::string& face, char32_t c) const {
  const auto found = faces_.find(face);
  if (found == faces_.end()) return false;
  return Invisible(c) || c == U' ' || FT_Get_Char_Index(found->second->regular[0].face, c) != 0;
}

const FontMeasure::Face* FontMeasure::Find(const gui::TextStyle& style,
                                           const std::u32string& text) const {
  const auto found = faces_.find(style.face);
  const Face* face = found == faces_.end() ? nullptr : found->second.get();
  bool complete = face != nullptr;
  for (char32_t c : text) {
    complete = complete && FaceHas(style.face, c);
  }
  if (complete) return face;
  const auto fallback = faces_.find(fallback_);
  return fallback == faces_.end() ? face : fallback->second.get();
}

int FontMeasure::Advance(const Face& face, bool bold, char32_t c, int em) const {
  if (Invisible(c)) return 0;
  for (const Loaded& loaded : bold ? face.bold : face.regular) {
    if (FT_Get_Char_Index(loaded.face, c) == 0) continue;
    FT_Set_Pixel_Sizes(loaded.face, 0, static_cast<FT_UInt>(em));
    if (FT_Load_Char(loaded.face, c, FT_LOAD_DEFAULT) != 0) continue;
    return static_cast<int>((loaded.face->glyph->advance.x + 32) >> 6) +
           (loaded.synthetic_bold ? 1 : 0);
  }
  // Nothing draws it: the box the system shows instead, about half an em.
  return em / 2;
}

std::optional<gui::Size> FontMeasure::Measure(const std::string& text, const gui::TextStyle& style,
                                              int wrap_width) const {
  const std::u32string chars = Decode(text);
  const Face* face = Find(style, chars);
  if (face == nullptr || face->units_per_em <= 0 || face->cell_units <= 0) return std::nullopt;
  // A negative height is the em (the character height), a positive one the
  // whole cell.
  const int em = style.cell_height
                     ? static_cast<int>(std::lround(static_cast<double>(style.height) *
                                                    face->units_per_em / face->cell_units))
                     : style.height;
  const int line_height = static_cast<int>(
      std::lround(static_cast<double>(em) * face->cell_units / face->units_per_em));
  const bool wrap = style.word_wrap && !style.middle;
  if (!wrap) {
    int width = 0;
    for (char32_t c : chars) width += Advance(*face, style.bold, c, em);
    return gui::Size{width, line_height};
  }
  // Greedy breaking: a word goes onto the next line when it would pass the
  // width; a word wider than the width stays whole (and so overflows).
  int widest = 0, lines = 1, line = 0, pending_blanks = 0;
  std::size_t i = 0;
  while (i < chars.size()) {
    if (chars[i] == U'\n') {
      widest = std::max(widest, line);
      ++lines;
      line = pending_blanks = 0;
      ++i;
      continue;
    }
    if (chars[i] == U' ') {
      pending_blanks += Advance(*face, style.bold, U' ', em);
      ++i;
      continue;
    }
    int word = 0;
    std::size_t j = i;
    do {
      word += Advance(*face, style.bold, chars[j], em);
      ++j;
    } while (j < chars.size() && chars[j] != U' ' && chars[j] != U'\n' && !Ideograph(chars[j]) &&
             !Ideograph(chars[j - 1]));
    if (line > 0 && line + pending_blanks + word > wrap_width) {
      widest = std::max(widest, line);
      ++lines;
      line = word;
    } else {
      line += pending_blanks + word;
    }
    pending_blanks = 0;
    i = j;
  }
  widest = std::max(widest, line);
  return gui::Size{widest, lines * line_height};
}

}  // namespace test_support
