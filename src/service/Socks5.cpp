#include "service/Socks5.h"

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <memory>

#include "service/RegistrableDomain.h"

namespace service {
namespace {

constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kMethodUserPassword = 2;
constexpr std::uint8_t kNoAcceptableMethod = 0xFF;
constexpr std::uint8_t kCommandConnect = 1;
constexpr std::uint8_t kAddressIpv4 = 1;
constexpr std::uint8_t kAddressName = 3;
constexpr std::uint8_t kAddressIpv6 = 4;

// The state of one handshake; each step keeps it alive through its handler.
class Handshake : public std::enable_shared_from_this<Handshake> {
 public:
  Handshake(tcp::socket& socket, Socks5Request request,
            std::function<void(const Socks5Result&)> done)
      : socket_(socket), request_(std::move(request)), done_(std::move(done)) {}

  void Run(const tcp::endpoint& server) {
    socket_.async_connect(server, [self = shared_from_this()](const error_code& ec) {
      if (ec)
        return self->Fail(ec == net::error::operation_aborted ? Socks5Outcome::kAborted
                                                              : Socks5Outcome::kServerUnavailable,
                          ec);
      error_code ignored;
      self->socket_.set_option(tcp::no_delay(true), ignored);
      self->Send(Socks5Greeting(), &Handshake::OnMethod, 2);
    });
  }

 private:
  using Step = void (Handshake::*)();

  // Writes `message`, then reads `reply_size` bytes and goes on with `next`.
  void Send(std::string message, Step next, std::size_t reply_size) {
    out_ = std::move(message);
    net::async_write(
        socket_, net::buffer(out_),
        [self = shared_from_this(), next, reply_size](const error_code& ec, std::size_t) {
          if (ec) return self->FailIo(ec);
          self->Read(reply_size, next);
        });
  }

  void Read(std::size_t size, Step next) {
    net::async_read(socket_, net::buffer(in_.data() + in_size_, size),
                    [self = shared_from_this(), next, size](const error_code& ec, std::size_t) {
                      if (ec) return self->FailIo(ec);
                      self->in_size_ += size;
                      ((*self).*next)();
                    });
  }

  void OnMethod() {
    if (in_[0] != kVersion) return Fail(Socks5Outcome::kProtocolError, {});
    if (in_[1] == kNoAcceptableMethod) return Fail(Socks5Outcome::kNoAcceptableMethod, {});
    if (in_[1] != kMethodUserPassword) return Fail(Socks5Outcome::kProtocolError, {});
    in_size_ = 0;
    Send(Socks5Credentials(request_.user, request_.password), &Handshake::OnAuth, 2);
  }

  void OnAuth() {
    if (in_[0] != 1) return Fail(Socks5Outcome::kProtocolError, {});
    if (in_[1] != 0) return Fail(Socks5Outcome::kAuthRejected, {});
    in_size_ = 0;
    std::string connect = Socks5ConnectRequest(request_.host, request_.port);
    if (connect.empty()) return Fail(Socks5Outcome::kProtocolError, {});
    Send(std::move(connect), &Handshake::OnReplyStart, 5);
  }

  void OnReplyStart() {
    if (in_[0] != kVersion) return Fail(Socks5Outcome::kProtocolError, {});
    if (in_[1] != kSocksSucceeded) {
      Socks5Result result;
      result.outcome = Socks5Outcome::kReply;
      result.reply = in_[1];
      return Finish(result);
    }
    const auto length = Socks5ReplyLength(in_.data());
    if (!length) return Fail(Socks5Outcome::kProtocolError, {});
    Read(*length - 5, &Handshake::OnReplyEnd);
  }

  void OnReplyEnd() {
    Socks5Result result;
    result.outcome = Socks5Outcome::kConnected;
    Finish(result);
  }

  void FailIo(const error_code& ec) {
    if (ec == net::error::operation_aborted || ec == net::error::bad_descriptor) {
      return Fail(Socks5Outcome::kAborted, ec);
    }
    // End of stream, reset or any other failure of an open connection.
    Fail(Socks5Outcome::kServerClosed, ec);
  }

  void Fail(Socks5Outcome outcome, const error_code& ec) {
    Socks5Result result;
    result.outcome = outcome;
    result.error = ec;
    Finish(result);
  }

  void Finish(const Socks5Result& result) {
    auto done = std::move(done_);
    done(result);
  }

  tcp::socket& socket_;
  Socks5Request request_;
  std::function<void(const Socks5Result&)> done_;
  std::string out_;
  // The longest reply: 4 + 1 + 255 + 2 bytes.
  std::array<std::uint8_t, 262> in_{};
  std::size_t in_size_ = 0;
};

}  // namespace

std::string Socks5Greeting() {
  // Only user name and password: without them the engine would mix sites on
  // one circuit, so a server that will not take them is a failure.
  return std::string{static_cast<char>(kVersion), 1, static_cast<char>(kMethodUserPassword)};
}

std::string Socks5Credentials(std::string_view user, std::string_view password) {
  user = user.substr(0, 255);
  password = password.substr(0, 255);
  std::string out;
  out += static_cast<char>(1);
  out += static_cast<char>(user.size());
  out += user;
  out += static_cast<char>(password.size());
  out += password;
  return out;
}

std::string Socks5ConnectRequest(std::string_view host, std::uint16_t port) {
  std::string out{static_cast<char>(kVersion), static_cast<char>(kCommandConnect), 0};
  std::string_view bare = host;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  if (IsIpLiteral(bare)) {
    error_code ec;
    const auto address = net::ip::make_address(std::string(bare), ec);
    if (ec) return {};
    if (address.is_v4()) {
      out += static_cast<char>(kAddressIpv4);
      for (auto byte : address.to_v4().to_bytes()) out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(kAddressIpv6);
      for (auto byte : address.to_v6().to_bytes()) out += static_cast<char>(byte);
    }
  } else {
    if (host.empty() || host.size() > 255) return {};
    out += static_cast<char>(kAddressName);
    out += static_cast<char>(host.size());
    out += host;
  }
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
  return out;
}

std::optional<std::size_t> Socks5ReplyLength(const std::uint8_t* first_five) {
  switch (first_five[3]) {
    case kAddressIpv4:
      return 4 + 4 + 2;
    case kAddressIpv6:
      return 4 + 16 + 2;
    case kAddressName:
      return 4 + 1 + first_five[4] + 2;
    default:
      return std::nullopt;
  }
}

HttpFailure DescribeSocksFailure(const Socks5Result& result) {
  switch (result.outcome) {
    case Socks5Outcome::kConnected:
      return {200, "connected"};
    case Socks5Outcome::kServerUnavailable:
      return {503, "the anonymity engine does not answer on its SOCKS port"};
    case Socks5Outcome::kServerClosed:
      return {502, "the anonymity engine closed the connection"};
    case Socks5Outcome::kNoAcceptableMethod:
      return {502, "the anonymity engine does not accept the per-site isolation"};
    case Socks5Outcome::kAuthRejected:
      return {502, "the anonymity engine rejected the per-site isolation"};
    case Socks5Outcome::kProtocolError:
      return {502, "the anonymity engine answered something unintelligible"};
    case Socks5Outcome::kAborted:
      return {504, "the anonymity network did not answer in time"};
    case Socks5Outcome::kReply:
      break;
  }
  switch (result.reply) {
    case kSocksGeneralFailure:
      return {502, "the anonymity network could not reach the site (general failure)"};
    case kSocksNotAllowed:
      return {502, "the exit of the anonymity network does not allow this connection"};
    case kSocksNetworkUnreachable:
      return {502, "the site's network is unreachable"};
    case kSocksHostUnreachable:
      return {502, "the site is unreachable or its name is unknown"};
    case kSocksConnectionRefused:
      return {502, "the site refused the connection"};
    case kSocksTtlExpired:
      return {504, "the site did not answer in time (TTL expired)"};
    case kSocksCommandNotSupported:
      return {502, "the anonymity engine does not support the request"};
    case kSocksAddressTypeNotSupported:
      return {502, "the anonymity engine does not support this kind of address"};
    default:
      return {502, "the anonymity engine failed (reply " + std::to_string(result.reply) + ")"};
  }
}

void AsyncSocks5Connect(tcp::socket& socket, const tcp::endpoint& server, Socks5Request request,
                        std::function<void(const Socks5Result&)> done) {
  std::make_shared<Handshake>(socket, std::move(request), std::move(done))->Run(server);
}

}  // namespace service
