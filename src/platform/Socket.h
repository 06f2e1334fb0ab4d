// TCP over IPv4 with time-outs: the control-port client, the engine
// stand-ins and the tests' local servers. Results are 0 or a system error
// code (SysErrorText-ready).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class TcpSocket {
 public:
  TcpSocket() = default;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  ~TcpSocket();

  // Connects to a dotted IPv4 address or "localhost"; timeout_ms <= 0 leaves
  // the time-out to the system.
  std::uint32_t Connect(const std::string& host, std::uint16_t port, int timeout_ms);
  std::uint32_t SendAll(std::string_view bytes);
  // Appends what arrives (at most `max` bytes) to `out`. A result of 0 with
  // nothing appended means the peer closed the connection. timeout_ms < 0
  // waits for ever; when it runs out the result is SocketTimedOut().
  std::uint32_t Receive(std::string& out, std::size_t max, int timeout_ms);
  // Drops input that has already arrived, without waiting, and at most
  // `max_bytes` of it: a peer that keeps sending cannot hold the caller.
  void DiscardPendingInput(std::size_t max_bytes = 65536);
  void ShutdownSend();
  void Close();
  bool IsOpen() const { return handle_ != kInvalid; }
  // The dotted IPv4 address of the other end; "" when there is none.
  std::string PeerAddress() const;

 private:
  friend class TcpListener;
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t handle_ = kInvalid;
};

class TcpListener {
 public:
  TcpListener() = default;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener();

  // Listens on host:port (port 0 picks a free one; see Port()).
  std::uint32_t Listen(const std::string& host, std::uint16_t port);
  std::uint16_t Port() const { return port_; }
  // Waits up to timeout_ms (< 0: for ever) for a connection.
  std::uint32_t Accept(TcpSocket& out, int timeout_ms);
  void Close();
  bool IsOpen() const { return handle_ != TcpSocket::kInvalid; }

 private:
  std::intptr_t handle_ = TcpSocket::kInvalid;
  std::uint16_t port_ = 0;
};

std::uint32_t SocketTimedOut();
std::uint32_t SocketRefused();

}  // namespace platform
