// Shared pieces of the engine tests: engine libraries from the build copied
// into private engine folders, the check that keeps a real engine off every
// network but loopback, waiting for the self-freeing host thread, raw
// control-port talk and the log's entries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Endpoints.h"
#include "base/Logger.h"
#include "engine/ControlAuth.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
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

// Whether engine settings keep a real engine on this machine: with the
// network off ("DisableNetwork 1", the last value counting), or on a private
// network whose directory authorities are all on loopback with nothing else
// naming a place to connect to. Anything the check cannot read for certain
// (continued lines, included files) counts as leaving. `why` says what
// failed.
inline bool SettingsStayOnLoopback(const std::string& text, std::string& why) {
  auto lower = [](std::string word) {
    for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return word;
  };
  auto loopback = [](const std::string& address) {  // "127.a.b.c:port"
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || address.compare(0, 4, "127.") != 0) return false;
    int dots = 0;
    for (std::size_t i = 0; i < colon; ++i) {
      if (address[i] == '.') {
        ++dots;
      } else if (address[i] < '0' || address[i] > '9') {
        return false;
      }
    }
    return dots == 3 && colon + 1 < address.size();
  };
  static const char* const kLeaving[] = {"fallbackdir",
                                         "bridge",
                                         "usebridges",
                                         "alternatedirauthority",
                                         "alternatebridgeauthority",
                                         "clienttransportplugin",
                                         "servertransportplugin",
                                         "socks4proxy",
                                         "socks5proxy",
                                         "httpsproxy",
                                         "httpproxy",
                                         "tcpproxy",
                                         "%include"};
  std::string disable_network;
  int authorities = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    std::istringstream words(line);
    std::string keyword;
    if (!(words >> keyword) || keyword[0] == '#') continue;
    if (line.back() == '\\') {
      why = "a continued line: " + line;
      return false;
    }
    keyword = lower(keyword);
    for (const char* leaving : kLeaving) {
      if (keyword == leaving) {
        why = "names a place to connect to: " + line;
        return false;
      }
    }
    if (keyword == "disablenetwork") {
      words >> disable_network;
    } else if (keyword == "dirauthority") {
      int addresses = 0;
      std::string word;
      while (words >> word) {
        if (word.compare(0, 5, "ipv6=") == 0) {
          if (word.compare(5, 6, "[::1]:") != 0) {
            why = "an authority off loopback: " + line;
            return false;
          }
        } else if (word.find(':') != std::string::npos) {
          if (!loopback(word)) {
            why = "an authority off loopback: " + line;
            return false;
          }
          ++addresses;
        }
      }
      if (addresses != 1) {
        why = "an authority without one address: " + line;
        return false;
      }
      ++authorities;
    }
  }
  if (disable_network == "1") return true;
  if (authorities == 0) {
    why = "neither \"DisableNetwork 1\" nor private directory authorities";
    return false;
  }
  return true;
}

// The host's first-time settings for `folder` without cookie authentication,
// so that the tests' own control connections need no credentials (the
// control client sends none when the settings ask for none).
inline std::string SettingsWithoutCookie(const std::string& folder) {
  std::string text = EngineSettingsText(folder);
  const std::string line = "CookieAuthentication 1\r\n";
  const std::size_t at = text.find(line);
  if (at != std::string::npos) text.erase(at, line.size());
  return text;
}

// Puts the real engine library into `folder` beside the settings a test
// wrote there first, and only when those keep the engine on this machine
// (the host leaves an existing settings file as it is, but would write one
// that goes out to the public network). Otherwise nothing is placed, so no
// engine can start in that folder; the result says which.
inline ::testing::AssertionResult InstallRealEngine(const std::string& library,
                                                    const std::string& folder) {
  const auto settings = platform::ReadWholeFile(folder + "anon_settings");
  if (!settings) {
    return ::testing::AssertionFailure() << "no settings written first in " << folder;
  }
  std::string why;
  if (!SettingsStayOnLoopback(*settings, why)) {
    return ::testing::AssertionFailure() << "the engine would leave this machine: " << why;
  }
  const auto bytes = platform::ReadWholeFile(library);
  if (!bytes) return ::testing::AssertionFailure() << "build the engine library first: " << library;
  if (!platform::WriteNewFile(folder + "anon.dll", *bytes)) {
    return ::testing::AssertionFailure() << "cannot write " << folder << "anon.dll";
  }
  return ::testing::AssertionSuccess();
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
  if (socket.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, 2000) != 0) return "";
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

// The authentication line for the engine of `folder` (which ends with a
// separator): with the cookie in its data directory "cache" when it is there.
inline std::string AuthenticateLine(const std::string& folder) {
  const auto cookie = platform::ReadWholeFile(folder + "cache" + platform::kPathDelim +
                                              engine_auth::kCookieFileName);
  if (!cookie || cookie->size() != engine_auth::kCookieLength) return "AUTHENTICATE";
  return "AUTHENTICATE " + engine_auth::HexText(*cookie);
}

inline bool ControlPortOpen() {
  platform::TcpSocket socket;
  return socket.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, 2000) == 0;
}

// Stops whatever engine still holds the control port (a test that failed
// half way) and waits until its host threads and its port are gone.
inline void HaltAnyEngineAndWait() {
  if (ControlPortOpen()) RawControl({"AUTHENTICATE", "SIGNAL HALT"});
  EXPECT_TRUE(WaitForHostThreads(30000));
  EXPECT_TRUE(WaitUntil([] { return !ControlPortOpen(); }, 15000));
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
