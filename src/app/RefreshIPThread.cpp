#include "app/RefreshIPThread.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

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

}  // namespace

std::string FetchUrlText(const std::string& Url) {
  std::string result;
  // Both handles close on every path, the failures included.
  platform::InternetSession session;
  if (session.Open(kIPLookupAgent) != 0) throw EIPLookupError("Unable to initialize Wininet");
  platform::InternetRequest request;
  if (request.Open(session, Url) != 0) throw EIPLookupError("Cannot open URL " + Url);

  std::array<char, kIPLookupChunk> buffer;
  std::size_t total = 0;
  for (;;) {
    buffer.fill(0);
    std::uint32_t read = 0;
    if (request.Read(buffer.data(), kIPLookupChunk, read) != 0 || read == 0) break;
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

TRefreshIPThread::TRefreshIPThread(TIPFoundEvent OnIPFound, TIPLookupSettings Settings)
    : FSettings(std::move(Settings)), FIPFound(std::move(OnIPFound)) {
  ++g_running;
  SetFreeOnTerminate(true);
  Start();
}

TRefreshIPThread::~TRefreshIPThread() { --g_running; }

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
    FFoundIP = FetchUrlText(FSettings.Url);
  } catch (...) {
    // The user is never told; the exception log has seen it already.
    FFoundIP.clear();
  }
  if (!FFoundIP.empty() && OnIPFound()) Synchronize([this] { DoIPFound(); });
}

void TRefreshIPThread::DoIPFound() {
  const TIPFoundEvent handler = OnIPFound();
  if (handler) handler(FFoundIP);
}

int RunningIPLookups() { return g_running.load(); }
