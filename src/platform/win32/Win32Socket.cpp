#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

#include "platform/Socket.h"

namespace platform {

namespace {

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

std::uint32_t Err() { return static_cast<std::uint32_t>(WSAGetLastError()); }

SOCKET S(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool ToAddress(const std::string& host, std::uint16_t port, sockaddr_in& address) {
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  return inet_pton(AF_INET, numeric.c_str(), &address.sin_addr) == 1;
}

// 0 when ready, WSAETIMEDOUT when the time ran out, else the error.
std::uint32_t WaitFor(SOCKET s, bool for_write, int timeout_ms) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed,
                       timeout_ms < 0 ? nullptr : &tv);
  if (n == 0) return WSAETIMEDOUT;
  if (n == SOCKET_ERROR) return Err();
  if (FD_ISSET(s, &failed)) {
    int so_error = 0;
    int length = sizeof so_error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length);
    return so_error != 0 ? static_cast<std::uint32_t>(so_error) : WSAECONNREFUSED;
  }
  return 0;
}

}  // namespace

std::uint32_t SocketTimedOut() { return WSAETIMEDOUT; }
std::uint32_t SocketRefused() { return WSAECONNREFUSED; }

std::uint32_t TcpSocket::Connect(const std::string& host, std::uint16_t port, int timeout_ms) {
  StartWinsock();
  Close();
  sockaddr_in address;
  if (!ToAddress(host, port, address)) return WSAEINVAL;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Err();
  handle_ = static_cast<std::intptr_t>(s);
  u_long non_blocking = timeout_ms > 0 ? 1 : 0;
  ioctlsocket(s, FIONBIO, &non_blocking);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    std::uint32_t error = Err();
    if (timeout_ms > 0 && error == WSAEWOULDBLOCK) error = WaitFor(s, true, timeout_ms);
    if (error != 0) {
      Close();
      return error;
    }
  }
  non_blocking = 0;
  ioctlsocket(s, FIONBIO, &non_blocking);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return 0;
}

std::uint32_t TcpSocket::SendAll(std::string_view bytes) {
  if (!IsOpen()) return WSAENOTSOCK;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int n = send(S(handle_), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n == SOCKET_ERROR) return Err();
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::uint32_t TcpSocket::Receive(std::string& out, std::size_t max, int timeout_ms) {
  if (!IsOpen()) return WSAENOTSOCK;
  if (timeout_ms >= 0) {
    if (const std::uint32_t error = WaitFor(S(handle_), false, timeout_ms)) return error;
  }
  char buffer[4096];
  const int n =
      recv(S(handle_), buffer, static_cast<int>(max < sizeof buffer ? max : sizeof buffer), 0);
  if (n == SOCKET_ERROR) return Err();
  out.append(buffer, static_cast<std::size_t>(n));
  return 0;
}

void TcpSocket::DiscardPendingInput(std::size_t max_bytes) {
  if (!IsOpen()) return;
  char buffer[4096];
  std::size_t dropped = 0;
  u_long available = 0;
  while (dropped < max_bytes && ioctlsocket(S(handle_), FIONREAD, &available) == 0 &&
         available > 0) {
    std::size_t want = max_bytes - dropped < sizeof buffer ? max_bytes - dropped : sizeof buffer;
    if (want > available) want = available;
    const int n = recv(S(handle_), buffer, static_cast<int>(want), 0);
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
}

void TcpSocket::ShutdownSend() {
  if (IsOpen()) shutdown(S(handle_), SD_SEND);
}

void TcpSocket::Close() {
  if (IsOpen()) closesocket(S(handle_));
  handle_ = kInvalid;
}

std::uint32_t TcpListener::Listen(const std::string& host, std::uint16_t port) {
  StartWinsock();
  Close();
  sockaddr_in address;
  if (!ToAddress(host, port, address)) return WSAEINVAL;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Err();
  // Nobody else may bind the same port while this listener has it.
  BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
      listen(s, 16) == SOCKET_ERROR) {
    const std::uint32_t error = Err();
    closesocket(s);
    return error;
  }
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  handle_ = static_cast<std::intptr_t>(s);
  return 0;
}

std::string TcpSocket::PeerAddress() const {
  sockaddr_in address{};
  int size = sizeof address;
  char text[INET_ADDRSTRLEN] = {};
  if (!IsOpen() ||
      getpeername(static_cast<SOCKET>(handle_), reinterpret_cast<sockaddr*>(&address), &size) !=
          0 ||
      address.sin_family != AF_INET ||
      inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
    return "";
  }
  return text;
}

std::uint32_t TcpListener::Accept(TcpSocket& out, int timeout_ms) {
  if (!IsOpen()) return WSAENOTSOCK;
  if (const std::uint32_t error = WaitFor(S(handle_), false, timeout_ms)) return error;
  const SOCKET s = accept(S(handle_), nullptr, nullptr);
  if (s == INVALID_SOCKET) return Err();
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  out.Close();
  out.handle_ = static_cast<std::intptr_t>(s);
  return 0;
}

void TcpListener::Close() {
  if (IsOpen()) closesocket(S(handle_));
  handle_ = TcpSocket::kInvalid;
  port_ = 0;
}

}  // namespace platform
