// The part of a host name that one party registered: the key by which the
// endpoint keeps sites apart on the anonymity network (one circuit family per
// registrable domain, never shared between two sites).
//
// The rule is compact and built in, so that both platforms agree and nothing
// has to be loaded:
//   - an IP literal (IPv4 dotted quad, or IPv6 with or without brackets) is
//     its own domain;
//   - a name of one or two labels is its own domain;
//   - otherwise the last two labels, or the last three when the top-level
//     label has two letters (a country) and the second-to-last is one of the
//     common second levels (co, com, org, net, ac, gov, edu, gob, mil, ne,
//     or, go, ltd, plc, sch, nic).
// So www.example.co.uk and img.example.co.uk give example.co.uk, a.com and
// b.com stay apart. Names are compared without case and without a final dot.
// Where the rule is too coarse (several parties under one suffix it does not
// know), two sites share a key; where too fine, one site uses two circuits.
#pragma once

#include <string>
#include <string_view>

namespace service {

std::string RegistrableDomain(std::string_view host);

// Whether `host` is an IPv4 dotted quad or an IPv6 address (brackets
// allowed). Only the form is looked at: nothing is resolved.
bool IsIpLiteral(std::string_view host);

}  // namespace service
