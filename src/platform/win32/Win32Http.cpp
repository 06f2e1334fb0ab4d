// HTTP through WinINet, with the system's preconfigured Internet settings.
// The library is loaded on the first lookup, not at start: it and what it
// pulls in cost the window's first paint and are needed only 20 s later.
// A request with a time limit reads only what has arrived, each wait bounded
// by the time left, so a server that trickles its reply cannot hold it.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>

#include "platform/Http.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::W;

namespace {

struct WinInet {
  decltype(&InternetOpenW) open = nullptr;
  decltype(&InternetOpenUrlW) open_url = nullptr;
  decltype(&InternetReadFile) read_file = nullptr;
  decltype(&InternetCloseHandle) close_handle = nullptr;
  decltype(&InternetSetOptionW) set_option = nullptr;
  decltype(&InternetQueryDataAvailable) data_available = nullptr;
  DWORD error = 0;
};

template <class Proc>
void Find(HMODULE module, const char* name, Proc& proc) {
  proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Loaded once, by whichever lookup thread comes first.
const WinInet& Library() {
  static const WinInet library = [] {
    WinInet loaded;
    HMODULE module = LoadLibraryW(L"wininet.dll");
    if (module == nullptr) {
      loaded.error = GetLastError();
      return loaded;
    }
    Find(module, "InternetOpenW", loaded.open);
    Find(module, "InternetOpenUrlW", loaded.open_url);
    Find(module, "InternetReadFile", loaded.read_file);
    Find(module, "InternetCloseHandle", loaded.close_handle);
    Find(module, "InternetSetOptionW", loaded.set_option);
    Find(module, "InternetQueryDataAvailable", loaded.data_available);
    if (!loaded.open || !loaded.open_url || !loaded.read_file || !loaded.close_handle ||
        !loaded.set_option || !loaded.data_available) {
      loaded.error = ERROR_PROC_NOT_FOUND;
    }
    return loaded;
  }();
  return library;
}

}  // namespace

std::uint32_t HttpTimedOut() { return ERROR_INTERNET_TIMEOUT; }

struct InternetSession::State {
  HINTERNET handle = nullptr;
};

using Clock = std::chrono::steady_clock;

// The time left before `deadline`, as a WinINet time-out (at least 1 ms).
DWORD MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::max<long long>(left, 1));
}

// Every wait of the handle (and of those opened from it) ends within `ms`.
void LimitWaits(HINTERNET handle, DWORD ms) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    Library().set_option(handle, option, &ms, sizeof ms);
  }
}

struct InternetRequest::State {
  HINTERNET handle = nullptr;
  bool limited = false;
  Clock::time_point deadline;
};

InternetSession::InternetSession() : state_(std::make_unique<State>()) {}
InternetSession::~InternetSession() { Close(); }

std::uint32_t InternetSession::Open(const std::string& agent) {
  Close();
  if (Library().error != 0) return Library().error;
  state_->handle =
      Library().open(W(agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  return state_->handle != nullptr ? 0 : GetLastError();
}

void InternetSession::Close() {
  if (state_->handle != nullptr) Library().close_handle(state_->handle);
  state_->handle = nullptr;
}

bool InternetSession::IsOpen() const { return state_->handle != nullptr; }

InternetRequest::InternetRequest() : state_(std::make_unique<State>()) {}
InternetRequest::~InternetRequest() { Close(); }

std::uint32_t InternetRequest::Open(InternetSession& session, const std::string& url,
                                    int timeout_ms) {
  Close();
  if (!session.IsOpen()) return ERROR_INVALID_HANDLE;
  state_->limited = timeout_ms >= 0;
  if (state_->limited) {
    state_->deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    LimitWaits(session.state_->handle, MsLeft(state_->deadline));
  }
  // From the server every time: no cache read or written, and a no-cache
  // request so that a proxy does not answer from its own cache either.
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
  state_->handle = Library().open_url(session.state_->handle, W(url).c_str(), nullptr, 0, flags, 0);
  if (state_->handle == nullptr) return GetLastError();
  if (state_->limited && Clock::now() >= state_->deadline) {
    Close();
    return ERROR_INTERNET_TIMEOUT;
  }
  return 0;
}

std::uint32_t InternetRequest::Read(void* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  if (state_->handle == nullptr) return ERROR_INVALID_HANDLE;
  if (!state_->limited) {
    DWORD got = 0;
    if (!Library().read_file(state_->handle, buffer, size, &got)) return GetLastError();
    read = got;
    return 0;
  }
  // The buffer is filled as without a limit, from what has arrived each
  // time, every wait bounded by the time left.
  while (read < size) {
    if (Clock::now() >= state_->deadline) return ERROR_INTERNET_TIMEOUT;
    LimitWaits(state_->handle, MsLeft(state_->deadline));
    DWORD available = 0;
    if (!Library().data_available(state_->handle, &available, 0, 0)) return GetLastError();
    if (available == 0) break;  // the body has ended
    DWORD got = 0;
    const DWORD want = std::min<DWORD>(available, size - read);
    if (!Library().read_file(state_->handle, static_cast<char*>(buffer) + read, want, &got)) {
      return GetLastError();
    }
    if (got == 0) break;
    read += got;
  }
  return 0;
}

void InternetRequest::Close() {
  if (state_->handle != nullptr) Library().close_handle(state_->handle);
  state_->handle = nullptr;
}

bool InternetRequest::IsOpen() const { return state_->handle != nullptr; }

std::uint32_t AnnounceInternetSettingsChanged() {
  const WinInet& library = Library();
  if (library.error != 0) return library.error;
  if (library.set_option == nullptr) return ERROR_PROC_NOT_FOUND;
  // Running programs that use WinINet read the settings again.
  if (!library.set_option(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0) ||
      !library.set_option(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0)) {
    return GetLastError();
  }
  return 0;
}

}  // namespace platform
