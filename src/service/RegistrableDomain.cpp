#include "service/RegistrableDomain.h"

#include <array>
#include <vector>

#include "service/Asio.h"

namespace service {
namespace {

constexpr std::array<std::string_view, 16> kSecondLevels = {"co",  "com", "org", "net", "ac", "gov",
                                                            "edu", "gob", "mil", "ne",  "or", "go",
                                                            "ltd", "plc", "sch", "nic"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsTwoLetters(std::string_view label) {
  return label.size() == 2 && label[0] >= 'a' && label[0] <= 'z' && label[1] >= 'a' &&
         label[1] <= 'z';
}

}  // namespace

bool IsIpLiteral(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || host.size() > 64) return false;
  boost::system::error_code ec;
  if (host.find(':') != std::string_view::npos) {
    net::ip::make_address_v6(std::string(host), ec);
    return !ec;
  }
  // Only the strict four-part form: "1.2.3" or "0x7f.1" are names here, and
  // so go to the anonymity network as names rather than being reinterpreted.
  int parts = 0;
  std::size_t digits = 0;
  for (char c : host) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
    } else {
      return false;
    }
  }
  if (digits == 0 || parts != 3) return false;
  net::ip::make_address_v4(std::string(host), ec);
  return !ec;
}

std::string RegistrableDomain(std::string_view host) {
  std::string name = Lower(host);
  while (!name.empty() && name.back() == '.') name.pop_back();
  if (IsIpLiteral(name)) {
    if (name.front() == '[') name = name.substr(1, name.size() - 2);
    return name;
  }
  std::vector<std::string_view> labels;
  std::string_view rest = name;
  while (!rest.empty()) {
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) {
      labels.push_back(rest);
      break;
    }
    labels.push_back(rest.substr(dot + 1));
    rest = rest.substr(0, dot);
  }
  // labels[0] is the top level.
  if (labels.size() <= 2) return name;
  std::size_t keep = 2;
  if (IsTwoLetters(labels[0])) {
    for (std::string_view second : kSecondLevels) {
      if (labels[1] == second) keep = 3;
    }
  }
  if (labels.size() <= keep) return name;
  // The kept labels are the tail of `name`.
  std::size_t length = keep - 1;  // the dots between them
  for (std::size_t i = 0; i < keep; ++i) length += labels[i].size();
  return name.substr(name.size() - length);
}

}  // namespace service
