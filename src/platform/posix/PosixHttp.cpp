// HTTP through libcurl, following the registry stand-in's Internet Settings
// as WinINet follows the real ones. The body is streamed: libcurl is driven
// only while the reader waits for bytes, and paused while a generous amount
// is still unread, so a long body never piles up in memory.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Http.h"
#include "platform/Registry.h"

namespace platform {

namespace {

const char kInternetSettingsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
// WinINet's own defaults: a minute to connect, and a transfer that moves no
// byte for half a minute is given up.
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallSeconds = 30;
constexpr long kMaxRedirects = 10;
constexpr std::size_t kMaxUnread = 64 * 1024;

void StartCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::uint32_t ErrorOf(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return EHOSTUNREACH;
    case CURLE_COULDNT_CONNECT:
      return ECONNREFUSED;
    case CURLE_OPERATION_TIMEDOUT:
      return ETIMEDOUT;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return EINVAL;
    case CURLE_OUT_OF_MEMORY:
      return ENOMEM;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return ECONNRESET;
    default:
      return EIO;
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find_first_of("; ", start);
    const std::string item = TrimBlanks(text.substr(start, end - start));
    if (!item.empty()) items.push_back(item);
    if (end == std::string::npos) return items;
    start = end + 1;
  }
}

// Wildcard match of a bypass entry: '*' stands for any run of characters.
bool Matches(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == text[t] || pattern[p] == '?')) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string QueryText(const RegKey& key, const char* name) {
  RegValue value;
  if (key.Query(name, value) != 0) return "";
  return value.type == RegType::DWord ? std::to_string(value.dword) : value.text;
}

// The proxy for `url` as the Internet Settings name it: "" for a direct
// connection. ProxyServer is either one "host:port" for every protocol or a
// list "http=host:port;https=...;socks=host:port".
std::string ProxyFor(const std::string& scheme, const std::string& host) {
  RegKey key;
  if (key.Open(RegRoot::CurrentUser, kInternetSettingsKey, kKeyQueryValue) != 0) return "";
  const std::string enable = QueryText(key, "ProxyEnable");
  if (enable.empty() || std::strtol(enable.c_str(), nullptr, 0) == 0) return "";

  for (const std::string& entry : SplitList(QueryText(key, "ProxyOverride"))) {
    const std::string pattern = Lower(entry);
    if (pattern == "<local>" ? host.find('.') == std::string::npos : Matches(pattern, host)) {
      return "";
    }
  }

  std::string for_all, for_scheme, socks;
  for (const std::string& entry : SplitList(QueryText(key, "ProxyServer"))) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      if (for_all.empty()) for_all = entry;
      continue;
    }
    const std::string protocol = Lower(entry.substr(0, equals));
    const std::string server = entry.substr(equals + 1);
    if (server.empty()) continue;
    if (protocol == scheme && for_scheme.empty()) for_scheme = server;
    if (protocol == "socks" && socks.empty()) socks = server;
  }
  if (!for_all.empty()) return for_all;
  if (!for_scheme.empty()) return for_scheme;
  if (!socks.empty()) return "socks4://" + socks;
  return "";
}

}  // namespace

std::uint32_t HttpTimedOut() { return ETIMEDOUT; }

struct InternetSession::State {
  bool open = false;
  std::string agent;
};

struct InternetRequest::State {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string unread;
  std::size_t consumed = 0;
  bool paused = false;
  bool done = false;
  CURLcode result = CURLE_OK;

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* state = static_cast<State*>(self);
    if (state->unread.size() - state->consumed >= kMaxUnread) {
      state->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    state->unread.append(data, size * count);
    return size * count;
  }

  // Lets libcurl work until body bytes are waiting or the transfer is over.
  void Drive() {
    while (!done && consumed == unread.size()) {
      int running = 0;
      const CURLMcode step = curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE) {
          done = true;
          result = message->data.result;
        }
      }
      if (step != CURLM_OK && !done) {
        done = true;
        result = CURLE_RECV_ERROR;
      }
      if (!done && consumed == unread.size()) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  }
};

InternetSession::InternetSession() : state_(std::make_unique<State>()) {}
InternetSession::~InternetSession() { Close(); }

std::uint32_t InternetSession::Open(const std::string& agent) {
  StartCurl();
  state_->agent = agent;
  state_->open = true;
  return 0;
}

void InternetSession::Close() { state_->open = false; }

bool InternetSession::IsOpen() const { return state_->open; }

InternetRequest::InternetRequest() : state_(std::make_unique<State>()) {}
InternetRequest::~InternetRequest() { Close(); }

std::uint32_t InternetRequest::Open(InternetSession& session, const std::string& url,
                                    int timeout_ms) {
  Close();
  if (!session.IsOpen()) return EBADF;
  CURLU* parsed = curl_url();
  char* scheme = nullptr;
  char* host = nullptr;
  const bool valid = parsed != nullptr &&
                     curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == 0 &&
                     curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == 0 &&
                     curl_url_get(parsed, CURLUPART_HOST, &host, 0) == 0;
  const std::string proxy = valid ? ProxyFor(Lower(scheme), Lower(host)) : "";
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parsed);
  if (!valid) return EINVAL;

  State& s = *state_;
  s.multi = curl_multi_init();
  s.easy = curl_easy_init();
  if (s.multi == nullptr || s.easy == nullptr) {
    Close();
    return ENOMEM;
  }
  // Neither the local side nor a proxy may answer from a cache.
  s.headers = curl_slist_append(s.headers, "Pragma: no-cache");
  s.headers = curl_slist_append(s.headers, "Cache-Control: no-cache");
  curl_easy_setopt(s.easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(s.easy, CURLOPT_USERAGENT, session.state_->agent.c_str());
  curl_easy_setopt(s.easy, CURLOPT_HTTPHEADER, s.headers);
  // An empty proxy also keeps libcurl from taking one from the environment.
  curl_easy_setopt(s.easy, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(s.easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(s.easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(s.easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(s.easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(s.easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(s.easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(s.easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(s.easy, CURLOPT_NOSIGNAL, 1L);
  // Zero would mean "no limit" to libcurl.
  if (timeout_ms >= 0) curl_easy_setopt(s.easy, CURLOPT_TIMEOUT_MS, std::max(1L, long{timeout_ms}));
  curl_easy_setopt(s.easy, CURLOPT_WRITEFUNCTION, &State::OnBody);
  curl_easy_setopt(s.easy, CURLOPT_WRITEDATA, &s);
  curl_multi_add_handle(s.multi, s.easy);

  s.Drive();
  if (s.done && s.result != CURLE_OK && s.consumed == s.unread.size()) {
    const std::uint32_t error = ErrorOf(s.result);
    Close();
    return error;
  }
  return 0;
}

std::uint32_t InternetRequest::Read(void* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  State& s = *state_;
  if (s.easy == nullptr) return EBADF;
  // As WinINet: the buffer is filled; only the end of the body cuts it short.
  while (read < size) {
    s.Drive();
    const std::size_t available = s.unread.size() - s.consumed;
    if (available == 0) {
      // A failure after some bytes shows on the next read.
      return read > 0 || s.result == CURLE_OK ? 0 : ErrorOf(s.result);
    }
    const std::size_t n = std::min<std::size_t>(available, size - read);
    std::memcpy(static_cast<char*>(buffer) + read, s.unread.data() + s.consumed, n);
    s.consumed += n;
    read += static_cast<std::uint32_t>(n);
    if (s.consumed == s.unread.size()) {
      s.unread.clear();
      s.consumed = 0;
      if (s.paused) {
        s.paused = false;
        curl_easy_pause(s.easy, CURLPAUSE_CONT);
      }
    }
  }
  return 0;
}

void InternetRequest::Close() {
  State& s = *state_;
  if (s.multi != nullptr && s.easy != nullptr) curl_multi_remove_handle(s.multi, s.easy);
  if (s.easy != nullptr) curl_easy_cleanup(s.easy);
  if (s.multi != nullptr) curl_multi_cleanup(s.multi);
  curl_slist_free_all(s.headers);
  s = State();
}

bool InternetRequest::IsOpen() const { return state_->easy != nullptr; }

// libcurl reads the settings afresh for every request: nobody to tell.
std::uint32_t AnnounceInternetSettingsChanged() { return 0; }

}  // namespace platform
