#include "service/EndpointLog.h"

#include "base/Logger.h"

namespace service {

void LogEndpoint(const std::string& message) { LogMessage(message, "HttpEndpoint"); }

std::string Excerpt(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  return std::string(text.substr(0, max)) + "...";
}

}  // namespace service
