// The external address lookup: a thread that waits, fetches the address-echo
// document over HTTP as the system's Internet settings say, and hands the
// address to its owner on the window thread. The reply is untrusted (once
// anonymity is on it comes through an exit relay that may rewrite it): only a
// well-formed IPv4 or IPv6 address is handed on.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Thread.h"

// Raised by FetchUrlText; the lookup thread swallows it.
class EIPLookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using TIPFoundEvent = std::function<void(const std::string& NewIP)>;

// How long a lookup waits before it fetches.
inline constexpr int kIPLookupDelayMs = 20000;
// The address-echo endpoint: answers a GET with the caller's address as text.
inline constexpr char kIPLookupUrl[] = "http://ip.corvane.com/scripts/whatismyip.php";
// The agent name sent with the request.
inline constexpr char kIPLookupAgent[] = "Nimbra";
// The body is read in pieces of this size, each trimmed by itself.
inline constexpr unsigned kIPLookupChunk = 128;
// A reply longer than this is refused: an address is a few dozen bytes.
inline constexpr std::size_t kMaxIPLookupReply = 64 * 1024;
// The fetch, from the request to the reply's last byte, ends within this.
inline constexpr int kIPLookupTimeoutMs = 30000;

// The whole body of the document at `Url`, read in 128-byte chunks that are
// each trimmed of blanks and control characters, within `TimeoutMs`. Raises
// EIPLookupError ("Unable to initialize Wininet", "Cannot open URL <Url>",
// "Too long a reply from URL <Url>", "No complete reply in time from URL
// <Url>").
std::string FetchUrlText(const std::string& Url, int TimeoutMs = kIPLookupTimeoutMs);

// True for a dotted-quad IPv4 address or an IPv6 address in its text forms
// (hex groups, one "::", a dotted quad at the end); nothing else, no blanks.
bool IsWellFormedAddress(std::string_view Text);

// Where a lookup fetches the address, how long it waits first, and how long
// the fetch may take.
struct TIPLookupSettings {
  int DelayMs = kIPLookupDelayMs;
  std::string Url = kIPLookupUrl;
  int TimeoutMs = kIPLookupTimeoutMs;
};

// One lookup per thread. The thread starts at once and frees itself when it
// ends; OnIPFound runs at most once, on the window thread (synchronized, the
// worker waiting), and only with a non-empty text.
class TRefreshIPThread : public TThread {
 public:
  // Starts the thread at once. Pass the handler here rather than setting it
  // afterwards: it is then in place before the thread can report.
  explicit TRefreshIPThread(TIPFoundEvent OnIPFound = {}, TIPLookupSettings Settings = {},
                            std::function<void()> OnEnded = {});
  ~TRefreshIPThread() override;

  // Must happen while the thread is still inside its delay (the thread frees
  // itself once it has reported).
  void SetOnIPFound(TIPFoundEvent handler);
  TIPFoundEvent OnIPFound() const;

 protected:
  void Execute() override;

 private:
  void DoIPFound();

  TIPLookupSettings FSettings;
  // Told on the worker as the thread ends, whatever it found.
  std::function<void()> FEnded;
  std::string FFoundIP;
  mutable std::mutex handler_mutex_;
  TIPFoundEvent FIPFound;
};

// The number of lookup threads not yet ended.
int RunningIPLookups();

// The program's lookups, one thread at a time: a request while one runs is
// kept (the newest handler replacing an older one) and started when the
// running one has ended, so a flood of requests costs one more lookup, not
// one thread each.
class TAddressLookups {
 public:
  explicit TAddressLookups(TIPLookupSettings Settings);
  void Request(TIPFoundEvent OnIPFound);

 private:
  struct State;
  std::shared_ptr<State> FState;
};
