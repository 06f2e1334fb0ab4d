#include "service/RequestTarget.h"

#include "service/Asio.h"

namespace service {
namespace {

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerChar(text[i]) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string Destination::Authority(std::uint16_t default_port) const {
  // Appended piece by piece: GCC 12 at -O3 misreads chained operator+ here
  // as an overlapping copy (-Wrestrict).
  std::string out;
  if (ipv6) out.append("[");
  out.append(host);
  if (ipv6) out.append("]");
  if (port != default_port) out.append(":").append(std::to_string(port));
  return out;
}

std::optional<Destination> ParseAuthority(std::string_view authority, std::uint16_t default_port) {
  Destination out;
  std::string_view host;
  std::string_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port_text = rest.substr(1);
      has_port = true;
    }
    error_code ec;
    net::ip::make_address_v6(std::string(host), ec);
    if (ec) return std::nullopt;
    out.ipv6 = true;
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port_text = authority.substr(colon + 1);
      has_port = true;
    } else {
      host = authority;
    }
  }
  if (host.empty() || host.size() > 253) return std::nullopt;
  out.host.reserve(host.size());
  for (char c : host) {
    const char lower = LowerChar(c);
    if (!out.ipv6 && !IsNameChar(lower)) return std::nullopt;
    out.host += lower;
  }
  if (!out.ipv6 && (out.host.front() == '.' || out.host.find("..") != std::string::npos)) {
    return std::nullopt;
  }
  if (has_port) {
    const auto port = ParsePort(port_text);
    if (!port) return std::nullopt;
    out.port = *port;
  } else if (default_port != 0) {
    out.port = default_port;
  } else {
    return std::nullopt;
  }
  return out;
}

ParsedTarget ParseRequestTarget(std::string_view target) {
  ParsedTarget out;
  if (target.empty()) return out;
  if (target.front() == '/') {
    out.form = TargetForm::kOriginForm;
    return out;
  }
  if (target == "*") {
    out.form = TargetForm::kAsterisk;
    return out;
  }
  const std::size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos) return out;
  if (scheme_end != 4 || !StartsWithNoCase(target, "http")) {
    out.form = TargetForm::kOtherScheme;
    return out;
  }
  std::string_view rest = target.substr(scheme_end + 3);
  const std::size_t path_start = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, path_start);
  std::string_view path =
      path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  // Credentials in the URL would go nowhere sensible and can hide the real
  // host from a glance at the log.
  if (authority.find('@') != std::string_view::npos) return out;
  auto destination = ParseAuthority(authority, 80);
  if (!destination) return out;
  const std::size_t fragment = path.find('#');
  if (fragment != std::string_view::npos) path = path.substr(0, fragment);
  if (path.empty() || path.front() != '/') out.origin_form.push_back('/');
  out.origin_form.append(path);
  out.destination = std::move(*destination);
  out.form = TargetForm::kAbsolute;
  return out;
}

bool IsSelf(const Destination& destination, std::uint16_t own_port) {
  if (destination.port != own_port) return false;
  std::string host = destination.host;
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host == "localhost" || host == "::1" || host == "0.0.0.0") return true;
  // The whole loopback block: on some systems a listener on 127.0.0.1 is
  // reached through other 127.x.y.z addresses as well.
  error_code ec;
  const auto address = net::ip::make_address_v4(host, ec);
  return !ec && address.is_loopback();
}

}  // namespace service
