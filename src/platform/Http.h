// Plain HTTP downloads made as the system's Internet settings say: directly,
// or through the proxy those settings name. Windows uses WinINet with the
// preconfigured access type; the POSIX stand-in uses libcurl and follows the
// registry stand-in's Internet Settings (ProxyEnable, ProxyServer,
// ProxyOverride under HKEY_CURRENT_USER) as WinINet follows the real ones.
// Results are 0 or a system error code (SysErrorText-ready).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The error of a request that ran out of its time limit.
std::uint32_t HttpTimedOut();

// The root handle: one per series of requests.
class InternetSession {
 public:
  InternetSession();
  ~InternetSession();
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;

  // Opens the session with the agent name sent in every request.
  std::uint32_t Open(const std::string& agent);
  void Close();
  bool IsOpen() const;

 private:
  friend class InternetRequest;
  struct State;
  std::unique_ptr<State> state_;
};

// One GET, always fetched afresh from the server: no local cache is read or
// written and proxies are asked not to answer from theirs. Redirects are
// followed; an HTTP error status still delivers its body.
class InternetRequest {
 public:
  InternetRequest();
  ~InternetRequest();
  InternetRequest(const InternetRequest&) = delete;
  InternetRequest& operator=(const InternetRequest&) = delete;

  // Sends the request and waits for the reply's header. With timeout_ms >= 0
  // the whole request, its reads included, ends within that time: a server
  // that trickles its reply runs out of it (ETIMEDOUT / the WinINet time-out
  // error) instead of holding the caller.
  std::uint32_t Open(InternetSession& session, const std::string& url, int timeout_ms = -1);
  // Fills `buffer` with the next `size` bytes of the body, fewer only where
  // the body ends; `read` is 0 once it has ended.
  std::uint32_t Read(void* buffer, std::uint32_t size, std::uint32_t& read);
  void Close();
  bool IsOpen() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Tells running programs that the Internet settings have changed, so that
// they read them again (WinINet: INTERNET_OPTION_SETTINGS_CHANGED, then
// INTERNET_OPTION_REFRESH). 0 or the error; nothing to do natively.
std::uint32_t AnnounceInternetSettingsChanged();

}  // namespace platform
