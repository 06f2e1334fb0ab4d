#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Socket.h"

namespace platform {

namespace {

std::uint32_t Err() { return static_cast<std::uint32_t>(errno); }

bool ToAddress(const std::string& host, std::uint16_t port, sockaddr_in& address) {
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  return inet_pton(AF_INET, numeric.c_str(), &address.sin_addr) == 1;
}

// 0 when ready, SocketTimedOut() when the time ran out, else the error.
std::uint32_t WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = poll(&p, 1, timeout_ms);
    if (n > 0) return 0;
    if (n == 0) return ETIMEDOUT;
    if (errno != EINTR) return Err();
  }
}

}  // namespace

std::uint32_t SocketTimedOut() { return ETIMEDOUT; }
std::uint32_t SocketRefused() { return ECONNREFUSED; }

std::uint32_t TcpSocket::Connect(const std::string& host, std::uint16_t port, int timeout_ms) {
  Close();
  sockaddr_in address;
  if (!ToAddress(host, port, address)) return EINVAL;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Err();
  handle_ = fd;
  if (timeout_ms > 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (timeout_ms <= 0 || errno != EINPROGRESS) {
      const std::uint32_t error = Err();
      Close();
      return error;
    }
    std::uint32_t error = WaitFor(fd, POLLOUT, timeout_ms);
    if (error == 0) {
      int so_error = 0;
      socklen_t length = sizeof so_error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
      error = static_cast<std::uint32_t>(so_error);
    }
    if (error != 0) {
      Close();
      return error;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return 0;
}

std::uint32_t TcpSocket::SendAll(std::string_view bytes) {
  if (!IsOpen()) return EBADF;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        send(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err();
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::uint32_t TcpSocket::Receive(std::string& out, std::size_t max, int timeout_ms) {
  if (!IsOpen()) return EBADF;
  if (timeout_ms >= 0) {
    if (const std::uint32_t error = WaitFor(static_cast<int>(handle_), POLLIN, timeout_ms))
      return error;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n =
        recv(static_cast<int>(handle_), buffer, max < sizeof buffer ? max : sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err();
    }
    out.append(buffer, static_cast<std::size_t>(n));
    return 0;
  }
}

void TcpSocket::DiscardPendingInput(std::size_t max_bytes) {
  if (!IsOpen()) return;
  char buffer[4096];
  std::size_t dropped = 0;
  while (dropped < max_bytes) {
    const std::size_t want =
        max_bytes - dropped < sizeof buffer ? max_bytes - dropped : sizeof buffer;
    const ssize_t n = recv(static_cast<int>(handle_), buffer, want, MSG_DONTWAIT);
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
}

void TcpSocket::ShutdownSend() {
  if (IsOpen()) shutdown(static_cast<int>(handle_), SHUT_WR);
}

void TcpSocket::Close() {
  if (IsOpen()) close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

std::uint32_t TcpListener::Listen(const std::string& host, std::uint16_t port) {
  Close();
  sockaddr_in address;
  if (!ToAddress(host, port, address)) return EINVAL;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Err();
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    const std::uint32_t error = Err();
    close(fd);
    return error;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  handle_ = fd;
  return 0;
}

std::string TcpSocket::PeerAddress() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  char text[INET_ADDRSTRLEN] = {};
  if (!IsOpen() ||
      getpeername(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      address.sin_family != AF_INET ||
      inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
    return "";
  }
  return text;
}

std::uint32_t TcpListener::Accept(TcpSocket& out, int timeout_ms) {
  if (!IsOpen()) return EBADF;
  if (const std::uint32_t error = WaitFor(static_cast<int>(handle_), POLLIN, timeout_ms))
    return error;
  const int fd = accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return Err();
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  out.Close();
  out.handle_ = fd;
  return 0;
}

void TcpListener::Close() {
  if (IsOpen()) close(static_cast<int>(handle_));
  handle_ = TcpSocket::kInvalid;
  port_ = 0;
}

}  // namespace platform
