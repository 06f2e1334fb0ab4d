#include "activators/MasksUtils.h"

namespace {

// The length of the UTF-8 sequence that starts at `i` ("?" takes a whole
// character, not one byte of it).
std::size_t CharLength(const std::string& text, std::size_t i) {
  std::size_t n = 1;
  while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

}  // namespace

bool NameMatchesMask(const std::string& Name, const std::string& Mask) {
  // Greedy matching that backs up to the last "*" on a mismatch: linear in
  // practice and never recursive, whatever the mask.
  std::size_t n = 0;
  std::size_t m = 0;
  std::size_t star = std::string::npos;
  std::size_t star_name = 0;
  while (n < Name.size()) {
    if (m < Mask.size() && Mask[m] == '*') {
      star = m++;
      star_name = n;
    } else if (m < Mask.size() && Mask[m] == '?') {
      ++m;
      n += CharLength(Name, n);
    } else if (m < Mask.size() && Mask[m] == Name[n]) {
      ++m;
      ++n;
    } else if (star != std::string::npos) {
      m = star + 1;
      star_name += CharLength(Name, star_name);
      n = star_name;
    } else {
      return false;
    }
  }
  while (m < Mask.size() && Mask[m] == '*') ++m;
  return m == Mask.size();
}
