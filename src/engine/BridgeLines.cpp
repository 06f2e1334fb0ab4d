#include "engine/BridgeLines.h"

#include <array>

#include "base/Logger.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsBase64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '+' || c == '/';
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// A decimal number of at most `digits` digits, no sign, no leading zero
// unless it is 0.
bool ParseNumber(std::string_view text, std::size_t digits, long& value) {
  if (text.empty() || text.size() > digits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool IsIPv4(std::string_view text) {
  int parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    long value = 0;
    if (!ParseNumber(part, 3, value) || value > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

// An IPv6 address without brackets: up to eight groups of 1 to 4 hex
// digits, "::" once at most, an IPv4 tail counting as two groups.
bool IsIPv6(std::string_view text) {
  if (text.empty() || text.size() > 45) return false;
  const std::size_t gap = text.find("::");
  if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos) {
    return false;
  }
  auto count_groups = [](std::string_view part, bool may_end_in_ipv4, int& groups) {
    groups = 0;
    if (part.empty()) return true;
    std::size_t start = 0;
    for (;;) {
      const std::size_t colon = part.find(':', start);
      const std::string_view group = part.substr(
          start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
      if (colon == std::string_view::npos && may_end_in_ipv4 && IsIPv4(group)) {
        groups += 2;
        return true;
      }
      if (group.empty() || group.size() > 4) return false;
      for (char c : group) {
        if (!IsHex(c)) return false;
      }
      ++groups;
      if (colon == std::string_view::npos) return true;
      start = colon + 1;
    }
  };
  int before = 0;
  int after = 0;
  if (gap == std::string_view::npos) {
    return count_groups(text, true, before) && before == 8;
  }
  return count_groups(text.substr(0, gap), false, before) &&
         count_groups(text.substr(gap + 2), true, after) && before + after <= 7;
}

TBridgeFault ParseAddress(std::string_view word, TBridgeLine& out) {
  std::string_view host;
  std::string_view port;
  if (!word.empty() && word.front() == '[') {
    const std::size_t close = word.find(']');
    if (close == std::string_view::npos) return TBridgeFault::BadAddress;
    host = word.substr(0, close + 1);
    if (!IsIPv6(host.substr(1, host.size() - 2))) return TBridgeFault::BadAddress;
    if (close + 1 >= word.size() || word[close + 1] != ':') return TBridgeFault::BadPort;
    port = word.substr(close + 2);
  } else {
    const std::size_t colon = word.find(':');
    if (colon == std::string_view::npos) {
      return IsIPv4(word) ? TBridgeFault::BadPort : TBridgeFault::BadAddress;
    }
    host = word.substr(0, colon);
    if (!IsIPv4(host)) return TBridgeFault::BadAddress;
    port = word.substr(colon + 1);
  }
  long value = 0;
  if (!ParseNumber(port, 5, value) || value < 1 || value > 65535) return TBridgeFault::BadPort;
  out.Host = std::string(host);
  out.Port = static_cast<std::uint16_t>(value);
  return TBridgeFault::None;
}

bool IsFingerprint(std::string_view word) {
  if (word.size() != kFingerprintLength) return false;
  for (char c : word) {
    if (!IsHex(c)) return false;
  }
  return true;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

// Published with the onion-routing browser's configuration (its obfs4
// built-in bridges); kept as text so a reader can compare them with the
// source.
const char* const kBuiltInObfs4[] = {
    "obfs4 192.95.36.142:443 CDF2E852BF539B82BD10E27E9115A31734E378C2 "
    "cert=qUVQ0srL1JI/vO6V6m/24anYXiJD3QP2HgzUKQtQ7GRqqUvs7P+tG43RtAqdhLOALP7DJQ iat-mode=1",
    "obfs4 37.218.245.14:38224 D9A82D2F9C2F65A18407B1D2B764F130847F8B5D "
    "cert=bjRaMrr1BRiAW8IE9U5z27fQaYgOhX1UCmOpg2pFpoMvo6ZgQMzLsaTzzQNTlm7hNcb+Sg iat-mode=0",
    "obfs4 85.31.186.98:443 011F2599C0E9B27EE74B353155E244813763C3E5 "
    "cert=ayq0XzCwhpdysn5o0EyDUbmSOx3X/oTEbzDMvczHOdBJKlvIdHHLJGkZARtT4dcBFArPPg iat-mode=0",
    "obfs4 85.31.186.26:443 91A6354697E6B02A386312F68D82CF86824D3606 "
    "cert=PBwr+S8JTVZo6MPdHnkTwXJPILWADLqfMGoVvhZClMq/Urndyd42BwX9YFJHZnBB3H0XCw iat-mode=0",
    "obfs4 193.11.166.194:27015 2D82C2E354D531A68469ADF7F878FA6060C6BACA "
    "cert=4TLQPJrTSaDffMK7Nbao6LC7G9OW/NHkUwIdjLSS3KYf0Nv4/nQiiI8dY2TcsQx01NniOg iat-mode=0",
    "obfs4 193.11.166.194:27020 86AC7B8D430DAC4117E9F42C9EAED18133863AAF "
    "cert=0LDeJH4JzMDtkJJrFphJCiPqKx7loozKN7VNfuukMGfHO0Z8OGdzHVkhVAOfo1mUdv9cMg iat-mode=0",
    "obfs4 193.11.166.194:27025 1AE2C08904527FEA90C4C4F8C1083EA59FBC6FAF "
    "cert=ItvYZzW5tn6v3G4UnQa6Qz04Npro6e81AP70YujmK/KXwDFPTs3aHXcHp4n8Vt6w/bv8cA iat-mode=0",
    "obfs4 209.148.46.65:443 74FAD13168806246602538555B5521A0383A1875 "
    "cert=ssH+9rP8dG2NLDN2XuFw63hIO/9MNNinLmxQDpVa+7kTOa9/m+tGWT1SmSYpQ9uTBGa6Hw iat-mode=0",
    "obfs4 146.57.248.225:22 10A6CD36A537FCE513A322361547444B393989F0 "
    "cert=K1gDtDAIcUfeLqbstggjIw2rtgIKqdIhUlHp82XRqNSq/mtAjp1BIC9vHKJ2FAEpGssTPw iat-mode=0",
    "obfs4 45.145.95.6:27015 C5B7CD6946FF10C5B3E89691A7D3F2C122D2117C "
    "cert=TD7PbUO0/0k6xYHMPW3vJxICfkMZNdkRrb63Zhl5j9dW3iRGiCx0A7mPhe5T2EDzQ35+Zw iat-mode=0",
    "obfs4 51.222.13.177:80 5EDAC3B810E12B01F6FD8050D2FD3E277B289A08 "
    "cert=2uplIpLQ0q9+0qMFrK5pkaYRDOe460LL9WHBvatgkuRr/SL31wBOEupaMMJ6koRE6Ld0ew iat-mode=0",
};

}  // namespace

std::string TBridgeLine::Text() const {
  std::string text;
  if (!Transport.empty()) text = Transport + " ";
  text += Host + ":" + std::to_string(Port);
  if (!Fingerprint.empty()) text += " " + Fingerprint;
  if (Transport == "obfs4") text += " cert=" + Cert + " iat-mode=" + std::to_string(IatMode);
  return text;
}

std::string BridgeFaultText(TBridgeFault Fault) {
  switch (Fault) {
    case TBridgeFault::None:
      return "";
    case TBridgeFault::NoLines:
      return "no bridge line given";
    case TBridgeFault::TooManyLines:
      return "more than " + std::to_string(kMaxBridgeLines) + " bridge lines";
    case TBridgeFault::LineTooLong:
      return "longer than " + std::to_string(kMaxBridgeLineLength) + " characters";
    case TBridgeFault::ControlCharacter:
      return "a control character inside the line";
    case TBridgeFault::NotAscii:
      return "a character that no bridge line holds";
    case TBridgeFault::CommentSign:
      return "a '#' inside the line";
    case TBridgeFault::UnknownTransport:
      return "the transport must be obfs4, or the line must start with an address";
    case TBridgeFault::MissingAddress:
      return "the address is missing";
    case TBridgeFault::BadAddress:
      return "the address must be IPv4 (1.2.3.4) or IPv6 in brackets ([2001:db8::1])";
    case TBridgeFault::BadPort:
      return "the port must be a number from 1 to 65535";
    case TBridgeFault::MissingFingerprint:
      return "the fingerprint is missing";
    case TBridgeFault::BadFingerprint:
      return "the fingerprint must be 40 hexadecimal digits";
    case TBridgeFault::MissingCert:
      return "cert= is missing";
    case TBridgeFault::BadCert:
      return "cert= must be " + std::to_string(kObfs4CertLength) + " base64 characters";
    case TBridgeFault::MissingIatMode:
      return "iat-mode= is missing";
    case TBridgeFault::BadIatMode:
      return "iat-mode= must be 0, 1 or 2";
    case TBridgeFault::UnknownArgument:
      return "an argument the transport does not take";
    case TBridgeFault::ExtraWord:
      return "something after the last field";
  }
  return "unknown fault";
}

const char* BridgeFaultKey(TBridgeFault Fault) {
  switch (Fault) {
    case TBridgeFault::None:
      return "";
    case TBridgeFault::NoLines:
      return "Bridge_no_lines";
    case TBridgeFault::TooManyLines:
      return "Bridge_too_many_lines";
    case TBridgeFault::LineTooLong:
      return "Bridge_line_too_long";
    case TBridgeFault::ControlCharacter:
      return "Bridge_control_character";
    case TBridgeFault::NotAscii:
      return "Bridge_not_ascii";
    case TBridgeFault::CommentSign:
      return "Bridge_comment_sign";
    case TBridgeFault::UnknownTransport:
      return "Bridge_unknown_transport";
    case TBridgeFault::MissingAddress:
      return "Bridge_missing_address";
    case TBridgeFault::BadAddress:
      return "Bridge_bad_address";
    case TBridgeFault::BadPort:
      return "Bridge_bad_port";
    case TBridgeFault::MissingFingerprint:
      return "Bridge_missing_fingerprint";
    case TBridgeFault::BadFingerprint:
      return "Bridge_bad_fingerprint";
    case TBridgeFault::MissingCert:
      return "Bridge_missing_cert";
    case TBridgeFault::BadCert:
      return "Bridge_bad_cert";
    case TBridgeFault::MissingIatMode:
      return "Bridge_missing_iat_mode";
    case TBridgeFault::BadIatMode:
      return "Bridge_bad_iat_mode";
    case TBridgeFault::UnknownArgument:
      return "Bridge_unknown_argument";
    case TBridgeFault::ExtraWord:
      return "Bridge_extra_word";
  }
  return "";
}

std::string TBridgeCheck::Message() const {
  if (Ok()) return "";
  const std::string text = BridgeFaultText(Fault);
  return LineNumber > 0 ? "Line " + std::to_string(LineNumber) + ": " + text : text;
}

TBridgeFault CheckBridgeLine(std::string_view Line, TBridgeLine& Out) {
  Out = TBridgeLine{};
  if (Line.size() > kMaxBridgeLineLength) return TBridgeFault::LineTooLong;
  for (char c : Line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x7E) return byte == 0x7F ? TBridgeFault::ControlCharacter : TBridgeFault::NotAscii;
    if (byte < 0x20 && c != '\t') return TBridgeFault::ControlCharacter;
    if (c == '#') return TBridgeFault::CommentSign;
  }
  std::vector<std::string_view> words = Words(Line);
  std::size_t next = 0;
  if (next < words.size() && Lower(words[next]) == "bridge") ++next;
  if (next == words.size()) return TBridgeFault::MissingAddress;

  // A plain bridge starts with its address; anything else names a transport.
  const std::string_view first = words[next];
  const bool plain =
      first.find(':') != std::string_view::npos || first.front() == '[' || IsIPv4(first);
  if (!plain) {
    if (first != "obfs4") return TBridgeFault::UnknownTransport;
    Out.Transport = "obfs4";
    if (++next == words.size()) return TBridgeFault::MissingAddress;
  }
  if (const TBridgeFault fault = ParseAddress(words[next++], Out); fault != TBridgeFault::None) {
    return fault;
  }

  if (next < words.size() && words[next].find('=') == std::string_view::npos) {
    if (!IsFingerprint(words[next])) return TBridgeFault::BadFingerprint;
    Out.Fingerprint = Upper(words[next++]);
  }
  if (plain) return next == words.size() ? TBridgeFault::None : TBridgeFault::ExtraWord;
  if (Out.Fingerprint.empty()) return TBridgeFault::MissingFingerprint;

  bool has_cert = false;
  bool has_iat = false;
  for (; next < words.size(); ++next) {
    const std::string_view word = words[next];
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) return TBridgeFault::ExtraWord;
    const std::string_view key = word.substr(0, equals);
    const std::string_view value = word.substr(equals + 1);
    if (key == "cert" && !has_cert) {
      has_cert = true;
      if (value.size() != kObfs4CertLength) return TBridgeFault::BadCert;
      for (char c : value) {
        if (!IsBase64(c)) return TBridgeFault::BadCert;
      }
      Out.Cert = std::string(value);
    } else if (key == "iat-mode" && !has_iat) {
      has_iat = true;
      if (value.size() != 1 || value[0] < '0' || value[0] > '2') return TBridgeFault::BadIatMode;
      Out.IatMode = value[0] - '0';
    } else {
      return TBridgeFault::UnknownArgument;
    }
  }
  if (!has_cert) return TBridgeFault::MissingCert;
  if (!has_iat) return TBridgeFault::MissingIatMode;
  return TBridgeFault::None;
}

TBridgeCheck CheckBridgeLines(std::string_view Text) {
  TBridgeCheck check;
  int number = 0;
  std::size_t start = 0;
  while (start < Text.size()) {
    std::size_t end = Text.find('\n', start);
    if (end == std::string_view::npos) end = Text.size();
    std::string_view line = Text.substr(start, end - start);
    start = end + 1;
    ++number;
    // The CR of a CR LF line end; any other CR is refused as a control
    // character below.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Only blanks: skipped, but still counted so that numbers match the box.
    bool blank = true;
    for (char c : line) blank = blank && IsBlank(c);
    if (blank && line.size() <= kMaxBridgeLineLength) continue;
    if (static_cast<int>(check.Lines.size()) == kMaxBridgeLines) {
      check.Fault = TBridgeFault::TooManyLines;
      check.LineNumber = number;
      break;
    }
    TBridgeLine parsed;
    check.Fault = CheckBridgeLine(line, parsed);
    if (check.Fault != TBridgeFault::None) {
      check.LineNumber = number;
      break;
    }
    check.Lines.push_back(std::move(parsed));
  }
  if (!check.Ok()) check.Lines.clear();
  return check;
}

const std::vector<TBridgeLine>& BuiltInObfs4Bridges() {
  static const std::vector<TBridgeLine> lines = [] {
    std::vector<TBridgeLine> out;
    for (const char* text : kBuiltInObfs4) {
      TBridgeLine line;
      const TBridgeFault fault = CheckBridgeLine(text, line);
      if (fault == TBridgeFault::None) {
        out.push_back(std::move(line));
      } else {
        LogMessage("Built-in bridge refused: " + BridgeFaultText(fault), "BuiltInObfs4Bridges");
      }
    }
    return out;
  }();
  return lines;
}
