#include "base/Logger.h"

#include <cstdio>
#include <mutex>
#include <typeinfo>

#include "base/AppFolders.h"
#include "platform/ExceptionHook.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SysError.h"
#include "platform/Text.h"

namespace {

using LineWriter = void (*)(const std::string& line);

// Set once at start-up, before any other thread exists; read-only afterwards.
bool g_log_enabled = false;
std::string g_log_file_name;
LineWriter g_line_writer = nullptr;
TLogClock g_clock = platform::Now;

// Opened, appended to and closed for every line, so a crash loses at most the
// line being written. A line that cannot be written is dropped.
void FileLineWriter(const std::string& line) {
  std::string bytes = platform::Utf8ToAnsi(line);
  bytes += "\r\n";
  platform::AppendToFile(g_log_file_name, bytes);
}

// Lines and exception blocks from several threads come out whole, one after
// the other. Recursive: a fault while a line is written reports on the same
// thread.
std::recursive_mutex g_write_mutex;

void WriteLine(const std::string& line) {
  if (g_line_writer != nullptr) g_line_writer(line);
}

std::string Hex8(std::uintptr_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%08llX", static_cast<unsigned long long>(value));
  return buffer;
}

std::string FrameLine(const platform::StackFrame& frame) {
  // Appended piece by piece: GCC 12 at -O3 misreads chained operator+ here
  // as an overlapping copy (-Wrestrict).
  std::string line;
  line.append("[").append(Hex8(frame.address)).append("]");
  if (!frame.routine.empty()) {
    line.append(" ").append(frame.routine);
    if (frame.line > 0) {
      line.append(" (Line ").append(std::to_string(frame.line)).append(", \"");
      line.append(frame.source_file).append("\")");
    }
  }
  return line;
}

std::string Description(const platform::RaisedException& e) {
  std::string text = "Exception " + e.class_name + " in module " + e.module_name + " at " +
                     Hex8(e.offset) + ".\r\n" + e.message;
  if (!e.message.empty() && e.message.back() != '.') text += ".";
  text += "\r\n";
  if (text.size() > kMaxExceptionDescription) text.resize(kMaxExceptionDescription);
  return text;
}

void ExceptionNotifier(const platform::RaisedException& e) {
  if (!g_log_enabled) return;
  std::lock_guard<std::recursive_mutex> lock(g_write_mutex);
  WriteLine("");
  WriteLine(FormatLogStamp(g_clock(), platform::TimeSeparator()));
  WriteLine(Description(e));
  WriteLine("STACK TOP-----------------------------");
  for (const platform::StackFrame& frame : e.frames) WriteLine(FrameLine(frame));
  WriteLine("STACK BOTTOM-------------------------");
}

}  // namespace

std::string FormatLogStamp(const platform::LocalTime& t, char sep) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d.%d.%02d %02d%c%02d%c%02d%c%03d", t.day, t.month,
                t.year % 100, t.hour, sep, t.minute, sep, t.second, sep, t.millisecond);
  return buffer;
}

void InitLog(bool Enabled, TLogClock Clock) {
  g_clock = Clock ? std::move(Clock) : TLogClock(platform::Now);
  g_line_writer = FileLineWriter;
  g_log_file_name = DataFolder() + platform::ExtractFileName(platform::ExecutablePath()) + ".log";
  g_log_enabled = Enabled;
}

void InitLogFromRegistry(platform::RegRoot RootKey, const std::string& KeyPath, TLogClock Clock) {
  bool exists = false;
  try {
    platform::RegKey key;
    exists = key.Open(RootKey, KeyPath, platform::kKeyRead) == 0;
  } catch (...) {
    exists = false;  // an unreadable key counts as absent
  }
  InitLog(exists, std::move(Clock));
}

void StartExceptionLog() {
  platform::SetSilentAbortType(&typeid(EAbort));
  platform::InstallExceptionNotifier(ExceptionNotifier);
}

void LogMessage(const std::string& Message, const std::string& Source) {
  if (!g_log_enabled) return;
  try {
    const std::string line = FormatLogStamp(g_clock(), platform::TimeSeparator()) + " " +
                             EscapeControlCharacters(Source) + ": " +
                             EscapeControlCharacters(Message);
    std::lock_guard<std::recursive_mutex> lock(g_write_mutex);
    WriteLine(line);
  } catch (...) {
    // Callers log from inside their own handlers: nothing may come back.
  }
}

std::string EscapeControlCharacters(const std::string& Text) {
  const auto is_control = [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  };
  bool any = false;
  for (const char c : Text) any = any || is_control(c);
  if (!any) return Text;
  std::string out;
  out.reserve(Text.size() + 16);
  for (const char c : Text) {
    if (is_control(c)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string SysErrorText(std::uint32_t Code) {
  std::string text = platform::SystemErrorMessage(Code);
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    if (last <= ' ' || last == '.' || last == 0x7F) {
      text.pop_back();
    } else {
      break;
    }
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "Error %d: ", static_cast<int>(Code));
  return prefix + text;
}

std::string ExceptionLogText(const std::exception& error) {
  return platform::DemangledName(typeid(error)) + " : " + error.what();
}

bool LogEnabled() { return g_log_enabled; }

const std::string& LogFileName() { return g_log_file_name; }
