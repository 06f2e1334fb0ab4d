// The client side of SOCKS version 5 (RFC 1928) with user name and password
// (RFC 1929), as the endpoint speaks it to the engine's SOCKS port, and what
// each way of failing means to a browser.
//
// Host names always travel as names (address type 3): the endpoint never
// resolves one itself. IP literals go as addresses (types 1 and 4). The user
// name and password choose the circuit family on the engine's side.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "service/Asio.h"

namespace service {

struct Socks5Request {
  std::string host;  // a name, a dotted IPv4 address or an IPv6 address
  std::uint16_t port = 0;
  std::string user;      // 1..255 bytes
  std::string password;  // 1..255 bytes
};

// The reply codes a SOCKS5 server sends for CONNECT.
enum Socks5Reply : std::uint8_t {
  kSocksSucceeded = 0,
  kSocksGeneralFailure = 1,
  kSocksNotAllowed = 2,
  kSocksNetworkUnreachable = 3,
  kSocksHostUnreachable = 4,
  kSocksConnectionRefused = 5,
  kSocksTtlExpired = 6,
  kSocksCommandNotSupported = 7,
  kSocksAddressTypeNotSupported = 8,
};

enum class Socks5Outcome {
  kConnected,
  kServerUnavailable,   // the SOCKS port refused or could not be reached
  kServerClosed,        // the server hung up or reset during the exchange
  kNoAcceptableMethod,  // the server will not take a user name and password
  kAuthRejected,
  kProtocolError,  // the server's bytes make no sense
  kReply,          // a CONNECT reply other than success: see `reply`
  kAborted,        // the socket was closed under the exchange (time-out, stop)
};

struct Socks5Result {
  Socks5Outcome outcome = Socks5Outcome::kAborted;
  std::uint8_t reply = 0;
  error_code error;
};

// The HTTP answer for a connection the endpoint could not make.
struct HttpFailure {
  int status = 502;
  std::string reason;  // one line, for the page and the log
};

HttpFailure DescribeSocksFailure(const Socks5Result& result);

// The wire messages. The CONNECT request is empty when the host cannot be
// sent (a name longer than 255 bytes).
std::string Socks5Greeting();
std::string Socks5Credentials(std::string_view user, std::string_view password);
std::string Socks5ConnectRequest(std::string_view host, std::uint16_t port);

// Given the first five bytes of a CONNECT reply, the reply's whole length, or
// nothing when the address type is unknown.
std::optional<std::size_t> Socks5ReplyLength(const std::uint8_t* first_five);

// Connects `socket` to `server` and runs the handshake for `request`;
// `done` runs once, on the socket's executor. The caller bounds the time by
// closing the socket, which ends the exchange with kAborted.
void AsyncSocks5Connect(tcp::socket& socket, const tcp::endpoint& server, Socks5Request request,
                        std::function<void(const Socks5Result&)> done);

}  // namespace service
