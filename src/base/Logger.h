// The diagnostic log: one line per event in "<exe name>.log" in the data
// folder, written only when the debug-mode registry key exists, and a block
// with a stack trace for every exception raised anywhere in the process.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/Clock.h"
#include "platform/Registry.h"

// The silent abort: raised only to leave an operation without a message.
class EAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

// Where the stamps' time comes from: the system's clock unless a program
// (a test) passes another.
using TLogClock = std::function<platform::LocalTime()>;

// Sets the line writer to the file writer, the file name from the data folder
// and the executable's name, whether lines are written at all, and the clock
// of the stamps.
void InitLog(bool Enabled, TLogClock Clock = platform::Now);

// InitLog with whether `KeyPath` exists under `RootKey`; an unreadable key
// counts as absent.
void InitLogFromRegistry(platform::RegRoot RootKey, const std::string& KeyPath,
                         TLogClock Clock = platform::Now);

// Installs the exception notifier; it writes only while logging is on.
void StartExceptionLog();

// One stamped line "<stamp> <Source>: <Message>", control characters in
// Source and Message escaped (so text from a peer cannot start a line of its
// own). Lines and exception blocks of several threads never interleave.
// Never raises.
void LogMessage(const std::string& Message, const std::string& Source);

// Every control character (below 0x20, and 0x7F) as "\xNN", upper-case hex.
std::string EscapeControlCharacters(const std::string& Text);

// "Error %d: %s" with the system's text for `Code`, trailing control
// characters, blanks and full stops removed.
std::string SysErrorText(std::uint32_t Code);

// The stamp "d.m.yy hh:nn:ss:zzz" with the given time separator.
std::string FormatLogStamp(const platform::LocalTime& time, char separator);

// "<class> : <message>", the line a worker logs for an exception it caught.
std::string ExceptionLogText(const std::exception& error);

bool LogEnabled();
const std::string& LogFileName();

// The longest exception description written; longer text is cut.
inline constexpr std::size_t kMaxExceptionDescription = 1023;
