// Where the programs meet on the local host: the engine's control and SOCKS
// ports, and the HTTP endpoint the browsers are pointed at.
#pragma once

#include <cstdint>
#include <string>

namespace endpoints {

inline constexpr char kLoopbackHost[] = "127.0.0.1";
inline constexpr std::uint16_t kEngineControlPort = 35490;
inline constexpr std::uint16_t kEngineSocksPort = 35491;
inline constexpr std::uint16_t kHttpEndpointPort = 35489;

// Ports travel to the activators as decimal text.
inline std::string PortText(std::uint16_t Port) { return std::to_string(Port); }

}  // namespace endpoints
