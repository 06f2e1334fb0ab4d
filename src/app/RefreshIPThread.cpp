#include "app/RefreshIPThread.h"

#include <array>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "base/Logger.h"
#include "platform/Http.h"
#include "platform/Text.h"

namespace {

std::atomic<int> g_running{0};

// Blanks and control characters, as the trim of a chunk removes them.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string TrimChunk(const char* data, std::size_t size) {
  std::size_t begin = 0;
  while (begin < size && IsBlank(data[begin])) ++begin;
  while (size > begin && IsBlank(data[size - 1])) --size;
  return std::string(data + begin, size - begin);
}

// How much of a refused reply the log shows, every byte outside printable
// ASCII as \xNN: a right-to-left override or a line break cannot disguise
// the line.
constexpr std::size_t kLoggedReply = 80;

std::string EscapedForLog(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (std::size_t i = 0; i < text.size() && i < kLoggedReply; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      escaped += static_cast<char>(c);
    } else {
      escaped += "\\x";
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0xF];
    }
  }
  if (text.size() > kLoggedReply) escaped += "...";
  return escaped;
}

bool IsDecimalOctet(std::string_view part) {
  if (part.empty() || part.size() > 3) return false;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
  }
  if (part.size() > 1 && part[0] == '0') return false;
  return std::stoi(std::string(part)) <= 255;
}

bool IsIPv4(std::string_view text) {
  int parts = 0;
  for (;;) {
    const std::size_t dot = text.find('.');
    if (!IsDecimalOctet(text.substr(0, dot))) return false;
    ++parts;
    if (dot == std::string_view::npos) return parts == 4;
    text.remove_prefix(dot + 1);
  }
}

bool IsHexGroup(std::string_view group) {
  if (group.empty() || group.size() > 4) return false;
  for (char c : group) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The number of 16-bit groups in a run of groups separated by ':', or -1;
// a dotted quad may end the run (it counts as two) when `last` says so.
int CountGroups(std::string_view run, bool last) {
  if (run.empty()) return 0;
  int groups = 0;
  for (;;) {
    const std::size_t colon = run.find(':');
    const std::string_view group = run.substr(0, colon);
    if (colon == std::string_view::npos) {
      if (last && IsIPv4(group)) return groups + 2;
      return IsHexGroup(group) ? groups + 1 : -1;
    }
    if (!IsHexGroup(group)) return -1;
    ++groups;
    run.remove_prefix(colon + 1);
  }
}

bool IsIPv6(std::string_view text) {
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) return CountGroups(text, true) == 8;
  const std::string_view head = text.substr(0, gap);
  const std::string_view tail = text.substr(gap + 2);
  if (tail.find("::") != std::string_view::npos) return false;
  const int before = CountGroups(head, false);
  const int after = CountGroups(tail, true);
  return before >= 0 && after >= 0 && before + after <= 7;
}

}  // namespace

bool IsWellFormedAddress(std::string_view Text) {
  if (Text.empty() || Text.size() > 45) return false;
  return Text.find(':') == std::string_view::npos ? IsIPv4(Text) : IsIPv6(Text);
}

std::string FetchUrlText(const std::string& Url, int TimeoutMs) {
  std::string result;
  // Both handles close on every path, the failures included.
  platform::InternetSession session;
  if (session.Open(kIPLookupAgent) != 0) throw EIPLookupError("Unable to initialize Wininet");
  platform::InternetRequest request;
  if (request.Open(session, Url, TimeoutMs) != 0) throw EIPLookupError("Cannot open URL " + Url);

  std::array<char, kIPLookupChunk> buffer;
  std::size_t total = 0;
  for (;;) {
    buffer.fill(0);
    std::uint32_t read = 0;
    const std::uint32_t error = request.Read(buffer.data(), kIPLookupChunk, read);
    // Cut short by the time limit, a reply is not taken in part.
    if (error != 0 && error == platform::HttpTimedOut()) {
      throw EIPLookupError("No complete reply in time from URL " + Url);
    }
    if (error != 0 || read == 0) break;
    total += read;
    if (total > kMaxIPLookupReply) throw EIPLookupError("Too long a reply from URL " + Url);
    // A chunk ends at its first zero byte; a full chunk has none.
    const void* zero = std::memchr(buffer.data(), 0, read);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer.data())
                        : read;
    result += platform::AnsiToUtf8(TrimChunk(buffer.data(), length));
  }
  return result;
}

TRefreshIPThread::TRefreshIPThread(TIPFoundEvent OnIPFound, TIPLookupSettings Settings,
                                   std::function<void()> OnEnded)
    : FSettings(std::move(Settings)), FEnded(std::move(OnEnded)), FIPFound(std::move(OnIPFound)) {
  ++g_running;
  SetFreeOnTerminate(true);
  Start();
}

TRefreshIPThread::~TRefreshIPThread() {
  --g_running;
  if (FEnded) FEnded();
}

void TRefreshIPThread::SetOnIPFound(TIPFoundEvent handler) {
  std::lock_guard<std::mutex> lock(handler_mutex_);
  FIPFound = std::move(handler);
}

TIPFoundEvent TRefreshIPThread::OnIPFound() const {
  std::lock_guard<std::mutex> lock(handler_mutex_);
  return FIPFound;
}

void TRefreshIPThread::Execute() {
  try {
    std::this_thread::sleep_for(std::chrono::milliseconds(FSettings.DelayMs));
    FFoundIP = FetchUrlText(FSettings.Url, FSettings.TimeoutMs);
  } catch (...) {
    // The user is never told; the exception log has seen it already.
    FFoundIP.clear();
  }
  if (!FFoundIP.empty() && !IsWellFormedAddress(FFoundIP)) {
    LogMessage("Refused a reply that is not an address (" + std::to_string(FFoundIP.size()) +
                   " bytes): \"" + EscapedForLog(FFoundIP) + "\"",
               "TRefreshIPThread.Execute");
    FFoundIP.clear();
  }
  if (!FFoundIP.empty() && OnIPFound()) Synchronize([this] { DoIPFound(); });
}

void TRefreshIPThread::DoIPFound() {
  const TIPFoundEvent handler = OnIPFound();
  if (handler) handler(FFoundIP);
}

int RunningIPLookups() { return g_running.load(); }

struct TAddressLookups::State : std::enable_shared_from_this<State> {
  explicit State(TIPLookupSettings Settings) : Settings(std::move(Settings)) {}

  // With the mutex held.
  void StartLocked(TIPFoundEvent handler) {
    running = true;
    new TRefreshIPThread(std::move(handler), Settings,  // frees itself
                         [self = shared_from_this()] { self->Ended(); });
  }

  // On the ending lookup's thread.
  void Ended() {
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    if (pending) {
      TIPFoundEvent next = std::move(*pending);
      pending.reset();
      StartLocked(std::move(next));
    }
  }

  const TIPLookupSettings Settings;
  std::mutex mutex;
  bool running = false;
  std::optional<TIPFoundEvent> pending;
};

TAddressLookups::TAddressLookups(TIPLookupSettings Settings)
    : FState(std::make_shared<State>(std::move(Settings))) {}

void TAddressLookups::Request(TIPFoundEvent OnIPFound) {
  std::lock_guard<std::mutex> lock(FState->mutex);
  if (FState->running) {
    FState->pending = std::move(OnIPFound);
  } else {
    FState->StartLocked(std::move(OnIPFound));
  }
}
