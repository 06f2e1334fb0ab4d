// The networking library as the endpoint uses it: Boost.Asio for sockets and
// timers, Boost.Beast for HTTP parsing, both header-only.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace service {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

}  // namespace service
