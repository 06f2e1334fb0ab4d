#include "ui/TextFormat.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

[[noreturn]] void Invalid(std::string_view format) {
  throw EFormatError("Format \"" + std::string(format) +
                     "\" is invalid or does not match its arguments");
}

class Formatter {
 public:
  Formatter(std::string_view format, std::span<const TFormatArg> args)
      : format_(format), args_(args) {}

  std::string Run() {
    std::string out;
    while (pos_ < format_.size()) {
      const std::size_t percent = format_.find('%', pos_);
      if (percent == std::string_view::npos) {
        out.append(format_.substr(pos_));
        break;
      }
      out.append(format_.substr(pos_, percent - pos_));
      pos_ = percent + 1;
      Placeholder(out);
    }
    return out;
  }

 private:
  char Peek() const { return pos_ < format_.size() ? format_[pos_] : '\0'; }

  const TFormatArg& Next() {
    if (next_arg_ >= args_.size()) Invalid(format_);
    return args_[next_arg_++];
  }

  // A decimal number or (when allowed) "*"; -1 when neither is there.
  int Number(bool star = true) {
    if (star && Peek() == '*') {
      ++pos_;
      const TFormatArg& arg = Next();
      if (arg.kind() != TFormatArg::Kind::Integer) Invalid(format_);
      if (arg.integer() < 0 || arg.integer() > kMaxFormatWidth) Invalid(format_);
      return static_cast<int>(arg.integer());
    }
    if (Peek() < '0' || Peek() > '9') return -1;
    int value = 0;
    while (Peek() >= '0' && Peek() <= '9') {
      value = value * 10 + (Peek() - '0');
      if (value > kMaxFormatWidth) Invalid(format_);
      ++pos_;
    }
    return value;
  }

  static void Pad(std::string& out, const std::string& body, int width, bool left) {
    const std::size_t fill = width > 0 && static_cast<std::size_t>(width) > body.size()
                                 ? static_cast<std::size_t>(width) - body.size()
                                 : 0;
    if (!left) out.append(fill, ' ');
    out += body;
    if (left) out.append(fill, ' ');
  }

  static std::uint64_t Unsigned(std::int64_t value) {
    // Negative 32-bit values read as the 32-bit pattern.
    if (value < 0 && value >= std::numeric_limits<std::int32_t>::min()) {
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    }
    return static_cast<std::uint64_t>(value);
  }

  static std::string MinimumDigits(std::string digits, int precision) {
    if (precision > 0 && digits.size() < static_cast<std::size_t>(precision)) {
      digits.insert(0, static_cast<std::size_t>(precision) - digits.size(), '0');
    }
    return digits;
  }

  void Placeholder(std::string& out) {
    if (Peek() == '%') {
      out += '%';
      ++pos_;
      return;
    }
    // An index is a number followed by ':'.
    const std::size_t mark = pos_;
    const int index = Number(false);
    if (index >= 0 && Peek() == ':') {
      ++pos_;
      next_arg_ = static_cast<std::size_t>(index);
    } else {
      pos_ = mark;
    }
    bool left = false;
    if (Peek() == '-') {
      left = true;
      ++pos_;
    }
    const int width = Number();
    int precision = -1;
    if (Peek() == '.') {
      ++pos_;
      precision = Number();
      if (precision < 0) Invalid(format_);
    }
    const char type = Peek();
    if (type == '\0') Invalid(format_);
    ++pos_;
    const TFormatArg& arg = Next();
    std::string body;
    switch (type) {
      case 'd':
      case 'D': {
        if (arg.kind() != TFormatArg::Kind::Integer) Invalid(format_);
        const std::int64_t v = arg.integer();
        const std::uint64_t magnitude =
            v < 0 ? static_cast<std::uint64_t>(-(v + 1)) + 1 : static_cast<std::uint64_t>(v);
        body = MinimumDigits(std::to_string(magnitude), precision);
        if (v < 0) body.insert(0, 1, '-');
        break;
      }
      case 'u':
      case 'U':
        if (arg.kind() != TFormatArg::Kind::Integer) Invalid(format_);
        body = MinimumDigits(std::to_string(Unsigned(arg.integer())), precision);
        break;
      case 'x':
      case 'X': {
        if (arg.kind() != TFormatArg::Kind::Integer) Invalid(format_);
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%llX",
                      static_cast<unsigned long long>(Unsigned(arg.integer())));
        body = MinimumDigits(buffer, precision);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G': {
        double v = 0;
        if (arg.kind() == TFormatArg::Kind::Float) {
          v = arg.floating();
        } else if (arg.kind() == TFormatArg::Kind::Integer) {
          v = static_cast<double>(arg.integer());
        } else {
          Invalid(format_);
        }
        const char conversion[] = {'%', '.', '*', static_cast<char>(type | 0x20), '\0'};
        const int digits = precision < 0 ? 6 : precision;
        const int n = std::snprintf(nullptr, 0, conversion, digits, v);
        if (n < 0) Invalid(format_);
        body.resize(static_cast<std::size_t>(n) + 1);
        std::snprintf(body.data(), body.size(), conversion, digits, v);
        body.resize(static_cast<std::size_t>(n));
        break;
      }
      case 's':
      case 'S':
        if (arg.kind() != TFormatArg::Kind::String) Invalid(format_);
        body = arg.text();
        if (precision >= 0 && body.size() > static_cast<std::size_t>(precision)) {
          // Cut at a character boundary, never inside a UTF-8 sequence.
          std::size_t cut = static_cast<std::size_t>(precision);
          while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
          body.resize(cut);
        }
        break;
      default:
        Invalid(format_);
    }
    Pad(out, body, width, left);
  }

  std::string_view format_;
  std::span<const TFormatArg> args_;
  std::size_t pos_ = 0;
  std::size_t next_arg_ = 0;
};

}  // namespace

std::string FormatText(std::string_view Format, std::span<const TFormatArg> Args) {
  return Formatter(Format, Args).Run();
}

std::string FormatText(std::string_view Format, std::initializer_list<TFormatArg> Args) {
  return FormatText(Format, std::span<const TFormatArg>(Args.begin(), Args.size()));
}

TFormatUses FormatUses(std::string_view Format) {
  // The grammar of Formatter::Placeholder, without the arguments.
  TFormatUses uses;
  std::size_t pos = 0;
  std::size_t next_arg = 0;
  const auto peek = [&] { return pos < Format.size() ? Format[pos] : '\0'; };
  const auto digits = [&] {
    const std::size_t start = pos;
    int value = 0;
    while (peek() >= '0' && peek() <= '9') {
      value = value * 10 + (peek() - '0');
      if (value > kMaxFormatWidth) Invalid(Format);
      ++pos;
    }
    return pos > start ? value : -1;
  };
  const auto number = [&] {
    if (peek() != '*') return digits() >= 0;
    ++pos;
    uses.Arguments.emplace_back(next_arg++, '*');
    return true;
  };
  while ((pos = Format.find('%', pos)) != std::string_view::npos) {
    ++pos;
    if (peek() == '%') {
      ++uses.Percents;
      ++pos;
      continue;
    }
    const std::size_t mark = pos;
    const int index = digits();
    if (index >= 0 && peek() == ':') {
      ++pos;
      next_arg = static_cast<std::size_t>(index);
    } else {
      pos = mark;
    }
    if (peek() == '-') ++pos;
    number();
    if (peek() == '.') {
      ++pos;
      if (!number()) Invalid(Format);
    }
    // Upper-case letters are the same types; no other character folds onto one.
    const char type = static_cast<char>(peek() | 0x20);
    if (std::string_view("duxefgs").find(type) == std::string_view::npos) Invalid(Format);
    ++pos;
    uses.Arguments.emplace_back(next_arg++, type);
  }
  std::sort(uses.Arguments.begin(), uses.Arguments.end());
  return uses;
}
