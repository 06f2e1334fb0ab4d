// Shared pieces of the engine tests: engine libraries from the build copied
// into private engine folders, waiting for the self-freeing host thread, raw
// control-port talk and the log's entries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Socket.h"

namespace engine_test {

// A path of the build tree (a Linux path) as this program sees it: under
// Wine the Linux file system is drive Z:.
inline std::string BuildPath(const std::string& path) {
#ifdef _WIN32
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
#else
  return path;
#endif
}

inline void CopyLibrary(const std::string& from, const std::string& to) {
  const auto bytes = platform::ReadWholeFile(from);
  ASSERT_TRUE(bytes.has_value()) << "build the engine libraries first: " << from;
  ASSERT_TRUE(platform::WriteNewFile(to, *bytes)) << to;
}

template <class Predicate>
bool WaitUntil(Predicate predicate, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// True once every engine host thread has ended and freed itself.
inline bool WaitForHostThreads(int timeout_ms = 20000) {
  return WaitUntil([] { return TTorThread::InstanceCount() == 0; }, timeout_ms);
}

// Sends `lines` (each ended by CR LF here) on a fresh control connection and
// returns what came back until the engine closed or fell silent; "" when no
// connection could be made.
inline std::string RawControl(const std::vector<std::string>& lines, int quiet_ms = 500) {
  platform::TcpSocket socket;
  if (socket.Connect(kEngineHost, kEngineControlPort, 2000) != 0) return "";
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  if (socket.SendAll(text) != 0) return "";
  std::string reply;
  for (;;) {
    const std::size_t before = reply.size();
    if (socket.Receive(reply, 4096, quiet_ms) != 0 || reply.size() == before) break;
  }
  return reply;
}

inline bool ControlPortOpen() {
  platform::TcpSocket socket;
  return socket.Connect(kEngineHost, kEngineControlPort, 2000) == 0;
}

// The log's stamped lines as "<Source>: <Message>" (the stamp, which holds a
// blank itself, cut off); lines without a stamp are left out.
inline std::vector<std::string> LogEntries() {
  std::vector<std::string> entries;
  const std::string text = platform::ReadWholeFile(LogFileName()).value_or("");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second != std::string::npos && line.find(": ", second) != std::string::npos) {
      entries.push_back(line.substr(second + 1));
    }
  }
  return entries;
}

inline void ClearLog() { platform::DeleteFileAt(LogFileName()); }

}  // namespace engine_test
