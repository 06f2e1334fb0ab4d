#include "support/LoopbackPeers.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace loopback {

using error_code = boost::system::error_code;

namespace {

constexpr int kPollMs = 50;

bool WaitReadable(tcp::socket::native_handle_type handle, int ms) {
#ifdef _WIN32
  WSAPOLLFD entry{};
  entry.fd = handle;
  entry.events = POLLRDNORM;
  return WSAPoll(&entry, 1, ms) > 0;
#else
  pollfd entry{handle, POLLIN, 0};
  return ::poll(&entry, 1, ms) > 0;
#endif
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

// ---- Conn ------------------------------------------------------------------

namespace {
// Client sockets share one context: they are only used blocking, and one
// context per connection would cost descriptors of its own.
net::io_context& ClientContext() {
  static net::io_context context;
  return context;
}
}  // namespace

Conn::Conn() = default;

Conn::Conn(tcp::socket socket) : socket_(std::make_unique<tcp::socket>(std::move(socket))) {}

Conn::Conn(Conn&&) noexcept = default;
Conn& Conn::operator=(Conn&&) noexcept = default;
Conn::~Conn() { Close(); }

bool Conn::Open(std::uint16_t port) {
  socket_ = std::make_unique<tcp::socket>(ClientContext());
  error_code ec;
  socket_->connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
  if (ec) {
    socket_.reset();
    return false;
  }
  socket_->set_option(tcp::no_delay(true), ec);
  return true;
}

bool Conn::IsOpen() const { return socket_ && socket_->is_open(); }

bool Conn::Send(std::string_view bytes) {
  if (!IsOpen()) return false;
  error_code ec;
  net::write(*socket_, net::buffer(bytes.data(), bytes.size()), ec);
  return !ec;
}

bool Conn::Readable(int ms) { return IsOpen() && WaitReadable(socket_->native_handle(), ms); }

Conn::Got Conn::Receive(std::string& out, int ms, std::size_t max) {
  if (!IsOpen()) return Got::kEnd;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!WaitReadable(socket_->native_handle(), kPollMs)) {
    if (ms >= 0 && std::chrono::steady_clock::now() >= until) return Got::kTimeout;
  }
  char buffer[65536];
  error_code ec;
  const std::size_t size =
      socket_->read_some(net::buffer(buffer, std::min(max, sizeof buffer)), ec);
  if (ec) return Got::kEnd;
  out.append(buffer, size);
  return Got::kData;
}

bool Conn::ClosedWithin(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::string sink;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    sink.clear();
    switch (Receive(sink, static_cast<int>(left))) {
      case Got::kEnd:
        return true;
      case Got::kTimeout:
        return false;
      case Got::kData:
        break;
    }
  }
}

void Conn::ShutdownSend() {
  error_code ec;
  if (IsOpen()) socket_->shutdown(tcp::socket::shutdown_send, ec);
}

void Conn::Close() {
  error_code ec;
  if (socket_) socket_->close(ec);
}

void Conn::SmallBuffers() {
  error_code ec;
  socket_->set_option(net::socket_base::receive_buffer_size(64 * 1024), ec);
  socket_->set_option(net::socket_base::send_buffer_size(64 * 1024), ec);
}

std::optional<http::response<http::string_body>> ReadReply(Conn& conn, std::string& pending,
                                                           bool head, int ms) {
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser.header_limit(1 << 20);
  if (head) parser.skip(true);
  parser.eager(true);
  for (;;) {
    if (!pending.empty()) {
      error_code ec;
      const std::size_t used = parser.put(net::buffer(pending), ec);
      pending.erase(0, used);
      if (parser.is_done()) return parser.release();
      if (ec && ec != http::error::need_more) return std::nullopt;
      if (used != 0 && !pending.empty()) continue;
    }
    switch (conn.Receive(pending, ms)) {
      case Conn::Got::kData:
        break;
      case Conn::Got::kTimeout:
        return std::nullopt;
      case Conn::Got::kEnd: {
        if (!parser.got_some()) return std::nullopt;
        error_code ec;
        parser.put_eof(ec);
        if (!ec && parser.is_done()) return parser.release();
        return std::nullopt;
      }
    }
  }
}

char PatternByte(std::uint64_t offset) {
  return static_cast<char>((offset * 131 + (offset >> 16)) & 0xFF);
}

std::uint64_t Fnv(std::string_view bytes, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// ---- Server ----------------------------------------------------------------

Server::~Server() = default;

void Server::Start() {
  acceptor_ = std::make_unique<tcp::acceptor>(io_);
  const tcp::endpoint local(net::ip::address_v4::loopback(), 0);
  acceptor_->open(local.protocol());
  acceptor_->bind(local);
  acceptor_->listen();
  port_ = acceptor_->local_endpoint().port();
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void Server::AcceptLoop() {
  while (!stopping_) {
    if (!WaitReadable(acceptor_->native_handle(), kPollMs)) continue;
    error_code ec;
    tcp::socket socket(io_);
    acceptor_->accept(socket, ec);
    if (ec) continue;
    ++connections_;
    std::lock_guard<std::mutex> lock(threads_mutex_);
    threads_.emplace_back([this, s = std::move(socket)]() mutable {
      error_code ignored;
      s.set_option(tcp::no_delay(true), ignored);
      Serve(Conn(std::move(s)));
    });
  }
}

void Server::Stop() {
  if (!accept_thread_.joinable()) return;
  stopping_ = true;
  accept_thread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
  acceptor_.reset();
}

bool Server::ReadExact(Conn& conn, std::string& pending, std::size_t size, std::string& out) {
  while (pending.size() < size) {
    if (Stopping()) return false;
    if (conn.Receive(pending, kPollMs) == Conn::Got::kEnd) return false;
  }
  out = pending.substr(0, size);
  pending.erase(0, size);
  return true;
}

void Server::HoldUntilClosed(Conn& conn) {
  std::string sink;
  while (!Stopping()) {
    sink.clear();
    if (conn.Receive(sink, kPollMs) == Conn::Got::kEnd) return;
  }
}

void Relay(Conn& a, Conn& b, const std::atomic<bool>& stopping) {
  auto one_way = [&stopping](Conn& from, Conn& to) {
    std::string bytes;
    while (!stopping) {
      bytes.clear();
      const Conn::Got got = from.Receive(bytes, kPollMs);
      if (got == Conn::Got::kTimeout) continue;
      if (got == Conn::Got::kEnd) {
        to.ShutdownSend();
        return;
      }
      if (!to.Send(bytes)) return;
    }
  };
  std::thread back([&] { one_way(b, a); });
  one_way(a, b);
  back.join();
}

// ---- SocksServer -----------------------------------------------------------

std::vector<SocksServer::Record> SocksServer::Records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void SocksServer::Serve(Conn conn) {
  std::string pending;
  std::string bytes;
  if (!ReadExact(conn, pending, 2, bytes) || bytes[0] != 5) return;
  std::string methods;
  if (!ReadExact(conn, pending, static_cast<unsigned char>(bytes[1]), methods)) return;
  if (methods.find('\x02') == std::string::npos) {
    conn.Send(std::string("\x05\xFF", 2));
    return;
  }
  conn.Send(std::string("\x05\x02", 2));
  Record record;
  std::string length;
  if (!ReadExact(conn, pending, 2, bytes) || bytes[0] != 1) return;
  if (!ReadExact(conn, pending, static_cast<unsigned char>(bytes[1]), record.user)) return;
  if (!ReadExact(conn, pending, 1, length)) return;
  if (!ReadExact(conn, pending, static_cast<unsigned char>(length[0]), record.password)) return;
  conn.Send(std::string("\x01\x00", 2));
  if (!ReadExact(conn, pending, 4, bytes) || bytes[1] != 1) return;
  record.address_type = bytes[3];
  if (record.address_type == 1) {
    if (!ReadExact(conn, pending, 4, bytes)) return;
    net::ip::address_v4::bytes_type raw;
    std::memcpy(raw.data(), bytes.data(), 4);
    record.host = net::ip::address_v4(raw).to_string();
  } else if (record.address_type == 4) {
    if (!ReadExact(conn, pending, 16, bytes)) return;
    net::ip::address_v6::bytes_type raw;
    std::memcpy(raw.data(), bytes.data(), 16);
    record.host = net::ip::address_v6(raw).to_string();
  } else {
    if (!ReadExact(conn, pending, 1, length)) return;
    if (!ReadExact(conn, pending, static_cast<unsigned char>(length[0]), record.host)) return;
  }
  if (!ReadExact(conn, pending, 2, bytes)) return;
  record.port = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[0]) << 8 |
                                           static_cast<unsigned char>(bytes[1]));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
  }
  switch (mode_.load()) {
    case Mode::kSilent:
      return HoldUntilClosed(conn);
    case Mode::kFail:
      conn.Send(std::string("\x05", 1) + static_cast<char>(reply_.load()) +
                std::string("\x00\x01\x00\x00\x00\x00\x00\x00", 8));
      return;
    case Mode::kRelay:
      break;
  }
  Conn target;
  if (!target.Open(target_port_)) {
    conn.Send(std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    return;
  }
  conn.SmallBuffers();
  target.SmallBuffers();
  conn.Send(std::string("\x05\x00\x00\x01\x7F\x00\x00\x01\x00\x50", 10));
  // Bytes the client sent right behind its request belong to the target.
  if (!pending.empty()) target.Send(pending);
  Relay(conn, target, StoppingFlag());
}

// ---- Origin ----------------------------------------------------------------

std::vector<std::string> Origin::Heads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return heads_;
}

void Origin::Serve(Conn conn) {
  conn.SmallBuffers();
  std::string in;
  for (;;) {
    // The raw header first, as it arrived.
    std::size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      if (Stopping() || conn.Receive(in, kPollMs) == Conn::Got::kEnd) return;
    }
    const std::string head = in.substr(0, end + 4);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heads_.push_back(head);
    }
    http::request_parser<http::buffer_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    parser.header_limit(1 << 20);
    error_code ec;
    in.erase(0, parser.put(net::buffer(head), ec));
    if (ec || !parser.is_header_done()) return;
    parser.eager(true);
    const auto& request = parser.get();
    const std::string target(request.target());
    const bool head_request = request.method() == http::verb::head;
    const bool close = !parser.keep_alive();
    const bool expect_continue = Lower(std::string(request[http::field::expect])) == "100-continue";

    if (target == "/silent") return HoldUntilClosed(conn);
    if (target == "/held") {
      while (!released_ && !Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (target == "/continue" && expect_continue) conn.Send("HTTP/1.1 100 Continue\r\n\r\n");

    // The body, decoded, counted and hashed block by block.
    std::uint64_t body_size = 0;
    std::uint64_t body_hash = Fnv({});
    char block[65536];
    while (!parser.is_done()) {
      auto& body = parser.get().body();
      body.data = block;
      body.size = sizeof block;
      if (!in.empty()) {
        const std::size_t used = parser.put(net::buffer(in), ec);
        in.erase(0, used);
        if (ec && ec != http::error::need_buffer && ec != http::error::need_more) return;
      }
      const std::size_t produced = sizeof block - body.size;
      body_size += produced;
      body_hash = Fnv(std::string_view(block, produced), body_hash);
      if (parser.is_done()) break;
      if (produced == 0 && (in.empty() || ec == http::error::need_more)) {
        if (Stopping() || conn.Receive(in, kPollMs) == Conn::Got::kEnd) return;
      }
    }

    std::string reply;
    const std::string keep = close ? "Connection: close\r\n" : "";
    if (target == "/chunked") {
      reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + keep +
              "\r\n5\r\nhello\r\n7;ext=1\r\n, world\r\n0\r\nX-Trailer: t\r\n\r\n";
    } else if (target == "/until-close") {
      conn.Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nuntil the end");
      return;
    } else if (target == "/head") {
      reply = "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n" + keep + "\r\n";
      if (!head_request) reply += std::string(1234, 'h');
    } else if (target == "/204") {
      reply = "HTTP/1.1 204 No Content\r\n" + keep + "\r\n";
    } else if (target == "/once") {
      conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nonce");
      return;
    } else if (target == "/big") {
      const std::uint64_t size = big_size_.load();
      if (!conn.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n" + keep +
                     "\r\n")) {
        return;
      }
      std::string chunk;
      for (std::uint64_t offset = 0; offset < size && !Stopping();) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(65536, size - offset));
        chunk.resize(piece);
        for (std::size_t i = 0; i < piece; ++i) chunk[i] = PatternByte(offset + i);
        if (!conn.Send(chunk)) return;
        offset += piece;
        sent_ += piece;
      }
      if (close) return;
      continue;
    } else {
      const std::string text =
          "method=" + std::string(request.method_string()) + "\ntarget=" + target + "\n" + head +
          "body=" + std::to_string(body_size) + " " + std::to_string(body_hash) + "\n";
      reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
              std::to_string(text.size()) + "\r\n" + keep + "\r\n" + text;
    }
    if (!conn.Send(reply) || close) return;
  }
}

}  // namespace loopback
