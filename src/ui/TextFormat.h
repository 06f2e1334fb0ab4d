// The printf-style format routine of composed texts. Catalogue texts come from
// translators' files, so the routine checks every placeholder against its
// argument and raises instead of reading what was not passed.
//
// A placeholder is "%" [index ":"] ["-"] [width] ["." precision] type, where
// index, width and precision are decimal numbers or "*" (taken from the next
// argument, which must be an integer). Types: d (integer, precision = least
// digits), u (integer as unsigned), x (integer in upper-case hexadecimal),
// e, f, g (floating point; integers are accepted), s (text; precision = most
// characters). "%%" is one percent sign. An index selects the argument by
// position (from 0) and later placeholders go on from there. Arguments left
// over are ignored.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// A format text that does not fit its arguments.
class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TFormatArg {
 public:
  enum class Kind { Integer, Float, String };

  template <typename T,
            typename = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
  TFormatArg(T value) : kind_(Kind::Integer), integer_(static_cast<std::int64_t>(value)) {}
  TFormatArg(double value) : kind_(Kind::Float), float_(value) {}
  TFormatArg(const char* value) : kind_(Kind::String), text_(value != nullptr ? value : "") {}
  TFormatArg(std::string value) : kind_(Kind::String), text_(std::move(value)) {}
  TFormatArg(std::string_view value) : kind_(Kind::String), text_(value) {}

  Kind kind() const { return kind_; }
  std::int64_t integer() const { return integer_; }
  double floating() const { return float_; }
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  std::int64_t integer_ = 0;
  double float_ = 0;
  std::string text_;
};

// The largest width or precision a placeholder may ask for.
inline constexpr int kMaxFormatWidth = 4096;

// Raises EFormatError with the format text when a placeholder is malformed,
// has no argument or an argument of another kind.
std::string FormatText(std::string_view Format, std::span<const TFormatArg> Args);
std::string FormatText(std::string_view Format, std::initializer_list<TFormatArg> Args);

// What a format text takes from its arguments, so that a translated text can
// be checked against the English one without knowing the arguments: each
// placeholder's argument position and type letter (lower case; "*" for a
// width or precision read from an argument), sorted, and the number of "%%".
// Equal uses mean the translation formats whatever the English text formats,
// in whatever order its placeholders stand.
struct TFormatUses {
  std::vector<std::pair<std::size_t, char>> Arguments;
  std::size_t Percents = 0;
  bool operator==(const TFormatUses&) const = default;
};
// Raises EFormatError when a placeholder is malformed.
TFormatUses FormatUses(std::string_view Format);
