// The endpoint's one door to the program's log, so that only this file pair
// knows where the log lives.
#pragma once

#include <string>
#include <string_view>

namespace service {

// One line in the program's log under the endpoint's name; control
// characters are escaped by the log. Never raises.
void LogEndpoint(const std::string& message);

// `text` cut to `max` bytes, with "..." when cut: a peer's request line or
// header can be long, and the log wants a glance at it, not all of it.
std::string Excerpt(std::string_view text, std::size_t max = 120);

}  // namespace service
