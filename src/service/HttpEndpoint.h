// The HTTP proxy endpoint the user's browsers are pointed at: it listens on
// 127.0.0.1 only and carries every request through the anonymity engine's
// SOCKS port, never anywhere directly.
//
//   - CONNECT host:port becomes a tunnel through SOCKS;
//   - "GET http://host/path" and the other usual methods are forwarded in
//     origin form, bodies and responses streamed both ways through fixed
//     blocks, the browser's connection kept alive between requests;
//   - while the owner says anonymity is not ready, every request gets a 503
//     page at once, and nothing reaches the SOCKS port;
//   - each site's registrable domain is the SOCKS user name, so two sites
//     never share a circuit.
//
// The endpoint runs on threads of its own; the calls below may come from any
// one thread (the owner's).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace service {

struct HttpEndpointConfig {
  // 0 picks a free port (see HttpEndpoint::Port).
  std::uint16_t listen_port = 35489;
  // The engine's SOCKS port: an IP address, never a name.
  std::string socks_host = "127.0.0.1";
  std::uint16_t socks_port = 35491;
  // Browser connections at once; beyond it the oldest one waiting for a
  // request makes room, and without one the newcomer gets a 503.
  std::size_t max_connections = 512;
  // A browser connection with no request in progress, or a request whose
  // bytes stopped flowing both ways, is closed after this.
  std::chrono::milliseconds idle_timeout{60'000};
  // The whole request header must have come this long after its first byte.
  std::chrono::milliseconds header_timeout{15'000};
  // SOCKS connection and handshake, up to the engine's CONNECT reply.
  std::chrono::milliseconds connect_timeout{60'000};
  // A CONNECT tunnel with no bytes either way.
  std::chrono::milliseconds tunnel_idle_timeout{600'000};
  // Network threads.
  unsigned threads = 1;
};

struct HttpEndpointStats {
  std::size_t open_connections = 0;
  std::uint64_t accepted = 0;
  std::uint64_t refused_busy = 0;  // 503 at the connection limit
  std::uint64_t evicted_idle = 0;  // closed to make room at the limit
  std::size_t blocks_in_use = 0;   // transfer blocks holding bytes now
  std::size_t peak_blocks_in_use = 0;
  std::size_t block_size = 0;
};

class HttpEndpoint {
 public:
  explicit HttpEndpoint(HttpEndpointConfig config = {});
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Starts listening and serving; "" on success, otherwise a sentence for
  // the user or the journal (a port already in use says so). Starting a
  // started endpoint does nothing.
  std::string Start();
  // Closes the listener and every connection and waits for the threads.
  void Stop();
  bool Running() const;

  // Whether anonymity is ready: until it is, requests get the 503 page.
  // Starts false.
  void SetReady(bool ready);
  bool Ready() const;

  // The port listened on (after Start).
  std::uint16_t Port() const;
  HttpEndpointStats Stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace service
