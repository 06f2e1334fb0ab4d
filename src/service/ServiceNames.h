// What the service's own two ends share: the name of its control pipe,
// where `NimbraService --stop` asks a running service to end (and a second
// start asks whether one runs), and the commands spoken there, in the
// pipe's record format (pipe/PipeProtocol.h).
#pragma once

#include <cstdint>

inline constexpr char kServiceControlPipeName[] =
    "\\\\.\\PIPE\\NimbraService control {5E0C2B7A-8F4D-4C61-9A3E-2D7B1C9F4E60}";

inline constexpr std::uint8_t kControlPing = 0x20;      // are you the service?
inline constexpr std::uint8_t kControlPong = 0x21;      // yes
inline constexpr std::uint8_t kControlStop = 0x22;      // switch back and end
inline constexpr std::uint8_t kControlStopping = 0x23;  // asked; switching back
inline constexpr std::uint8_t kControlStopped = 0x24;   // switched back; ending now

// The program's exit codes.
inline constexpr int kServiceExitOk = 0;
inline constexpr int kServiceExitFailed = 1;  // --stop: it did not end in time
inline constexpr int kServiceExitUsage = 2;
inline constexpr int kServiceExitAlreadyRunning = 3;  // a NimbraService runs already
inline constexpr int kServiceExitNameTaken = 4;       // another program owns a pipe name
inline constexpr int kServiceExitNoEndpoint = 5;      // the HTTP endpoint could not start
