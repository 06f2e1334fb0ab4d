// Pieces of the tests that run in the private onion network: a service
// that answers with the address a request came from, and a request through
// the engine's SOCKS port.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "base/Endpoints.h"
#include "platform/Socket.h"

namespace engine_test {

inline void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Answers every GET with the address the connection came from.
class AddressEchoServer {
 public:
  explicit AddressEchoServer(const std::string& address) {
    EXPECT_EQ(listener_.Listen(address, 0), 0u) << address;
    thread_ = std::thread([this] { Serve(); });
  }
  ~AddressEchoServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }

 private:
  void Serve() {
    while (!stop_) {
      platform::TcpSocket peer;
      if (listener_.Accept(peer, 200) != 0) continue;
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const std::size_t before = request.size();
        if (peer.Receive(request, 4096, 10000) != 0 || request.size() == before) break;
      }
      const std::string body = peer.PeerAddress();
      peer.SendAll("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
      peer.ShutdownSend();
    }
  }

  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Receives until `out` holds `size` bytes; false when the peer stops first.
inline bool ReceiveBytes(platform::TcpSocket& socket, std::string& out, std::size_t size) {
  while (out.size() < size) {
    const std::size_t before = out.size();
    if (socket.Receive(out, size - out.size(), 30000) != 0 || out.size() == before) return false;
  }
  return true;
}

// GET / from `address`:`port` through the engine's SOCKS port (SOCKS 5, no
// authentication); the response's body, or a text saying what failed.
inline std::string FetchThroughEngine(const std::string& address, std::uint16_t port) {
  platform::TcpSocket socket;
  if (socket.Connect(endpoints::kLoopbackHost, endpoints::kEngineSocksPort, 5000) != 0)
    return "(no SOCKS port)";
  std::string reply;
  if (socket.SendAll(std::string("\x05\x01\x00", 3)) != 0 || !ReceiveBytes(socket, reply, 2) ||
      reply != std::string("\x05\x00", 2)) {
    return "(SOCKS greeting refused)";
  }
  std::string connect("\x05\x01\x00\x01", 4);
  std::istringstream parts(address);
  for (std::string part; std::getline(parts, part, '.');) {
    connect += static_cast<char>(std::atoi(part.c_str()));
  }
  connect += std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
  reply.clear();
  if (socket.SendAll(connect) != 0 || !ReceiveBytes(socket, reply, 10) || reply[1] != 0) {
    return "(SOCKS connect failed: " + std::to_string(reply.size() > 1 ? reply[1] : -1) + ")";
  }
  if (socket.SendAll("GET / HTTP/1.0\r\nHost: " + address + "\r\n\r\n") != 0) {
    return "(send failed)";
  }
  std::string response;
  for (;;) {
    const std::size_t before = response.size();
    if (socket.Receive(response, 4096, 30000) != 0 || response.size() == before) break;
  }
  const std::size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "(no response)" : response.substr(body + 4);
}

}  // namespace engine_test
