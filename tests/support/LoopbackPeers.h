// Loopback peers for the HTTP endpoint's tests: a blocking
// connection with bounded waits, a recording SOCKS5 server that carries
// every destination to one local port, and a small HTTP origin. All run on
// threads of their own in the test's process and listen on 127.0.0.1 only.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace loopback {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

// A generous bound that only keeps a broken test from hanging.
constexpr int kWaitMs = 20000;

// One blocking TCP connection; reads wait at most the time given.
class Conn {
 public:
  enum class Got { kData, kEnd, kTimeout };

  Conn();
  explicit Conn(tcp::socket socket);
  Conn(Conn&&) noexcept;
  Conn& operator=(Conn&&) noexcept;
  ~Conn();

  // Connects to 127.0.0.1:port; false when refused.
  bool Open(std::uint16_t port);
  bool IsOpen() const;
  bool Send(std::string_view bytes);
  // Appends up to `max` bytes that arrive within `ms` (negative: no limit).
  Got Receive(std::string& out, int ms, std::size_t max = 65536);
  // Whether the peer closes (end or reset) within `ms`, reading past data.
  bool ClosedWithin(int ms);
  void ShutdownSend();
  void Close();
  // Fixed small kernel buffers: what the peer sends past them waits.
  void SmallBuffers();
  bool Readable(int ms);

 private:
  std::unique_ptr<tcp::socket> socket_;
};

// Reads one response from `conn`; `pending` holds bytes that came before it
// and keeps those that come after. Empty when none arrived whole in time.
std::optional<http::response<http::string_body>> ReadReply(Conn& conn, std::string& pending,
                                                           bool head = false, int ms = kWaitMs);

// The bytes of the large downloads: a pattern that notices shifted or lost
// blocks.
char PatternByte(std::uint64_t offset);

// 64-bit FNV-1a, continued from `seed`.
std::uint64_t Fnv(std::string_view bytes, std::uint64_t seed = 0xcbf29ce484222325ull);

// Runs `serve` on a thread for every connection to a loopback port.
class Server {
 public:
  Server() = default;
  virtual ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void Start();
  // Ends the accept loop and waits for the connections' threads, which end
  // once their peers close or `stopping` is seen.
  void Stop();
  std::uint16_t Port() const { return port_; }
  int Connections() const { return connections_.load(); }

 protected:
  virtual void Serve(Conn conn) = 0;
  bool Stopping() const { return stopping_.load(); }
  const std::atomic<bool>& StoppingFlag() const { return stopping_; }
  // Reads exactly `size` bytes; false on end, error or stop.
  bool ReadExact(Conn& conn, std::string& pending, std::size_t size, std::string& out);
  // Waits until the peer closes or the server stops.
  void HoldUntilClosed(Conn& conn);

 private:
  void AcceptLoop();

  net::io_context io_;
  std::unique_ptr<tcp::acceptor> acceptor_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread accept_thread_;
  std::mutex threads_mutex_;
  std::vector<std::thread> threads_;
};

// Copies bytes both ways until both directions have ended; a direction's
// end is passed on as a half-close.
void Relay(Conn& a, Conn& b, const std::atomic<bool>& stopping);

class SocksServer : public Server {
 public:
  struct Record {
    int address_type = 0;
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
  };
  enum class Mode { kRelay, kFail, kSilent };

  // Every destination is carried to 127.0.0.1:target_port.
  explicit SocksServer(std::uint16_t target_port) : target_port_(target_port) {}
  ~SocksServer() override { Stop(); }

  void Fail(std::uint8_t reply) {
    reply_ = reply;
    mode_ = Mode::kFail;
  }
  void Silent() { mode_ = Mode::kSilent; }
  std::vector<Record> Records();

 protected:
  void Serve(Conn conn) override;

 private:
  std::uint16_t target_port_;
  std::atomic<Mode> mode_{Mode::kRelay};
  std::atomic<std::uint8_t> reply_{0};
  std::mutex mutex_;
  std::vector<Record> records_;
};

// An HTTP/1.1 origin. Paths:
//   /echo         what arrived: method, target, the raw header, body size and hash
//   /chunked      a chunked answer ("hello, world")
//   /until-close  an answer delimited by the close
//   /head         Content-Length 1234 (no body to HEAD)
//   /204          no content
//   /once         answers, then closes although the request kept alive
//   /continue     100 Continue when asked, then the echo
//   /held         reads the body only once Release() was called
//   /big          Content-Length BigSize() of PatternByte, counted in Sent()
//   /silent       never answers
class Origin : public Server {
 public:
  ~Origin() override { Stop(); }
  std::vector<std::string> Heads();
  std::uint64_t Sent() const { return sent_.load(); }
  void Release() { released_ = true; }
  void SetBigSize(std::uint64_t size) { big_size_ = size; }

 protected:
  void Serve(Conn conn) override;

 private:
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<bool> released_{false};
  std::atomic<std::uint64_t> big_size_{100ull << 20};
  std::mutex mutex_;
  std::vector<std::string> heads_;
};

}  // namespace loopback
