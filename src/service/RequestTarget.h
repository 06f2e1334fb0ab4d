// The destination a browser names in a proxy request: "host:port" after
// CONNECT, "http://host[:port]/path?query" after any other method. Only the
// form is checked; names are never resolved here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace service {

struct Destination {
  // Lower case, without brackets for IPv6 and without a final dot's
  // removal: the name as it goes to the anonymity network.
  std::string host;
  std::uint16_t port = 0;
  bool ipv6 = false;

  // host[:port] for a Host header, brackets around IPv6, the port only when
  // it is not `default_port`.
  std::string Authority(std::uint16_t default_port) const;
};

// "host:port" (the port required) or, with `default_port` non-zero,
// "host[:port]". Host: letters, digits, '-', '_', '.', or a bracketed IPv6
// address; at most 253 characters. Port: 1..65535.
std::optional<Destination> ParseAuthority(std::string_view authority, std::uint16_t default_port);

enum class TargetForm {
  kAbsolute,     // http://...
  kOriginForm,   // /path: the proxy addressed as if it were the site
  kAsterisk,     // *
  kOtherScheme,  // https://, ftp://...
  kMalformed,
};

struct ParsedTarget {
  TargetForm form = TargetForm::kMalformed;
  Destination destination;
  // "/path?query" without any fragment; "/" when the URL has no path.
  std::string origin_form;
};

ParsedTarget ParseRequestTarget(std::string_view target);

// Whether the destination is the endpoint itself (a loop): the loopback
// names and addresses on the endpoint's own port.
bool IsSelf(const Destination& destination, std::uint16_t own_port);

}  // namespace service
