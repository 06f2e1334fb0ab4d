#include "service/HttpEndpoint.h"

#include <boost/asio/executor_work_guard.hpp>
#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

#include "service/EndpointLog.h"
#include "service/ProxySession.h"

namespace service {
namespace {

using clock = std::chrono::steady_clock;

bool IsOutOfResources(const error_code& ec) {
  return ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
         ec == net::error::no_memory || ec == error_code(ENFILE, boost::system::system_category());
}

}  // namespace

struct HttpEndpoint::Impl {
  explicit Impl(HttpEndpointConfig config) { shared.config = std::move(config); }

  std::string Start();
  void Stop();
  void Accept();
  void OnAccept(const error_code& ec, tcp::socket socket, Worker& worker);
  void RefuseBusy(tcp::socket& socket);
  void LogRateLimited(const std::string& what, std::uint64_t& since_last);

  std::mutex mutex;  // Start and Stop
  bool running = false;
  EndpointShared shared;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> guards;
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> retry_timer;
  std::size_t next_worker = 0;
  std::string busy_response;
  // The listener's thread only.
  clock::time_point last_busy_log{};
  std::uint64_t busy_since_log = 0;
  std::uint64_t accept_failures_since_log = 0;
};

std::string HttpEndpoint::Impl::Start() {
  std::lock_guard<std::mutex> lock(mutex);
  if (running) return {};
  const HttpEndpointConfig& config = shared.config;
  error_code ec;
  const auto socks_address = net::ip::make_address(config.socks_host, ec);
  if (ec) {
    return "The SOCKS address \"" + config.socks_host + "\" is not an IP address.";
  }
  shared.socks = tcp::endpoint(socks_address, config.socks_port);

  const unsigned threads = config.threads == 0 ? 1 : config.threads;
  for (unsigned i = 0; i < threads; ++i) {
    workers.push_back(std::make_unique<Worker>(shared.blocks));
  }
  acceptor.emplace(workers.front()->io);
  const tcp::endpoint local(net::ip::address_v4::loopback(), config.listen_port);
  acceptor->open(local.protocol(), ec);
  if (!ec) {
#ifdef _WIN32
    // Without it another program could bind the same port on Windows and
    // take part of the browsers' connections.
    acceptor->set_option(net::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true),
                         ec);
#else
    // A restart must not wait for the last connections' TIME_WAIT; a second
    // listener is still refused.
    acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
#endif
  }
  if (!ec) acceptor->bind(local, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    const std::string where = "127.0.0.1:" + std::to_string(config.listen_port);
    std::string text;
    if (ec == net::error::address_in_use || ec == net::error::access_denied) {
      text = "The proxy port " + where +
             " is already in use by another program, so the browsers cannot be served (" +
             ec.message() + ").";
    } else {
      text = "Cannot listen on " + where + ": " + ec.message() + ".";
    }
    acceptor.reset();
    workers.clear();
    LogEndpoint(text);
    return text;
  }
  shared.port = acceptor->local_endpoint().port();
  busy_response = LocalResponse(503, "too many connections are open at once; try again shortly");
  retry_timer.emplace(workers.front()->io);
  Accept();
  for (auto& worker : workers) {
    guards.push_back(net::make_work_guard(worker->io));
    Worker* w = worker.get();
    w->thread = std::thread([w] {
      while (!w->io.stopped()) {
        try {
          w->io.run();
        } catch (const std::exception& error) {
          // One connection's fault; the others go on.
          LogEndpoint(std::string("network thread: ") + error.what());
        }
      }
    });
  }
  running = true;
  LogEndpoint("listening on 127.0.0.1:" + std::to_string(shared.port) + ", SOCKS port " +
              shared.socks.address().to_string() + ":" + std::to_string(shared.socks.port()));
  return {};
}

void HttpEndpoint::Impl::Stop() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!running) return;
  for (auto& worker : workers) worker->io.stop();
  for (auto& worker : workers) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  guards.clear();
  acceptor.reset();
  retry_timer.reset();
  // Destroying the loops destroys the connections they still hold, which
  // closes their sockets.
  workers.clear();
  running = false;
  LogEndpoint("stopped");
}

void HttpEndpoint::Impl::Accept() {
  Worker& worker = *workers[next_worker++ % workers.size()];
  acceptor->async_accept(worker.io, [this, &worker](const error_code& ec, tcp::socket socket) {
    OnAccept(ec, std::move(socket), worker);
  });
}

void HttpEndpoint::Impl::OnAccept(const error_code& ec, tcp::socket socket, Worker& worker) {
  if (ec == net::error::operation_aborted || !acceptor || !acceptor->is_open()) return;
  if (ec) {
    if (IsOutOfResources(ec)) {
      // Out of descriptors: waiting a moment lets connections end, where
      // trying again at once would only spin.
      LogRateLimited("cannot accept: " + ec.message(), accept_failures_since_log);
      retry_timer->expires_after(std::chrono::milliseconds(50));
      retry_timer->async_wait([this](const error_code& wait_ec) {
        if (!wait_ec) Accept();
      });
      return;
    }
    return Accept();
  }
  shared.accepted.fetch_add(1);
  if (shared.open.load() >= shared.config.max_connections) {
    if (auto oldest = shared.idle.TakeOldest()) {
      // Closed on its own thread; the last reference goes there too.
      auto executor = oldest->Executor();
      net::post(executor, [session = std::move(oldest)] { session->Evict(); });
    } else {
      RefuseBusy(socket);
      return Accept();
    }
  }
  auto session = std::make_shared<ProxySession>(shared, worker, std::move(socket));
  net::post(worker.io, [session = std::move(session)] { session->Start(); });
  Accept();
}

void HttpEndpoint::Impl::RefuseBusy(tcp::socket& socket) {
  shared.refused_busy.fetch_add(1);
  LogRateLimited(
      "503 over the limit of " + std::to_string(shared.config.max_connections) + " connections",
      busy_since_log);
  // Never waits: what does not fit into the socket at once is dropped.
  error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(net::buffer(busy_response), ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

void HttpEndpoint::Impl::LogRateLimited(const std::string& what, std::uint64_t& since_last) {
  ++since_last;
  const clock::time_point now = clock::now();
  if (now - last_busy_log < std::chrono::seconds(1)) return;
  LogEndpoint(what + (since_last > 1 ? " (" + std::to_string(since_last) + " times)" : ""));
  last_busy_log = now;
  since_last = 0;
}

HttpEndpoint::HttpEndpoint(HttpEndpointConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {}

HttpEndpoint::~HttpEndpoint() { Stop(); }

std::string HttpEndpoint::Start() { return impl_->Start(); }

void HttpEndpoint::Stop() { impl_->Stop(); }

bool HttpEndpoint::Running() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->running;
}

void HttpEndpoint::SetReady(bool ready) { impl_->shared.ready.store(ready); }

bool HttpEndpoint::Ready() const { return impl_->shared.ready.load(); }

std::uint16_t HttpEndpoint::Port() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->shared.port;
}

HttpEndpointStats HttpEndpoint::Stats() const {
  const EndpointShared& shared = impl_->shared;
  HttpEndpointStats stats;
  stats.open_connections = shared.open.load();
  stats.accepted = shared.accepted.load();
  stats.refused_busy = shared.refused_busy.load();
  stats.evicted_idle = shared.evicted.load();
  stats.blocks_in_use = shared.blocks.in_use.load();
  stats.peak_blocks_in_use = shared.blocks.peak.load();
  stats.block_size = BufferPool::kBlockSize;
  return stats;
}

}  // namespace service
