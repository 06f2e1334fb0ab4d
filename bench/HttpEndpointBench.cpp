// The HTTP endpoint against the bare SOCKS port and against Privoxy, in one
// run, everything on loopback:
//   - a 100 MiB download: through the endpoint, straight through SOCKS, and
//     through Privoxy (its forward-socks5t to the same SOCKS port);
//   - 1,000 GETs on one kept-alive connection: the median latency of each;
//   - resident memory with 1,000 open CONNECT tunnels (the endpoint runs in
//     this process, so its share is the growth of this process; Privoxy's is
//     the growth of its own).
// The SOCKS server and the site run in a child process, so that their
// memory and threads are not counted with the endpoint's. Privoxy is
// started with a configuration of the benchmark's own; without it the
// Privoxy columns are skipped. Prints ratios; asserts nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/Asio.h"
#include "service/HttpEndpoint.h"

namespace {

using service::error_code;
using service::tcp;
namespace net = boost::asio;
using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t kDownload = 100ull << 20;
constexpr int kDownloadRuns = 7;
constexpr int kGets = 1000;
constexpr int kTunnels = 1000;

// ---- The child's servers: a SOCKS5 server and a site, both on Asio -------

// Relays one direction until its end, which it passes on as a half-close.
struct Direction : std::enable_shared_from_this<Direction> {
  Direction(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to)
      : from(std::move(from)), to(std::move(to)) {}
  void Run() {
    from->async_read_some(net::buffer(bytes),
                          [self = shared_from_this()](error_code ec, std::size_t n) {
                            if (ec) {
                              error_code ignored;
                              self->to->shutdown(tcp::socket::shutdown_send, ignored);
                              return;
                            }
                            net::async_write(*self->to, net::buffer(self->bytes.data(), n),
                                             [self](error_code write_ec, std::size_t) {
                                               if (!write_ec) self->Run();
                                             });
                          });
  }
  std::shared_ptr<tcp::socket> from, to;
  std::array<char, 64 * 1024> bytes{};
};

// SOCKS5 with or without user name and password; every destination goes to
// the site.
struct SocksSession : std::enable_shared_from_this<SocksSession> {
  SocksSession(tcp::socket socket, tcp::endpoint site)
      : client(std::make_shared<tcp::socket>(std::move(socket))),
        target(std::make_shared<tcp::socket>(client->get_executor())),
        site(site) {}

  void Read(std::size_t n, void (SocksSession::*next)()) {
    net::async_read(*client, net::buffer(in.data(), n),
                    [self = shared_from_this(), next](error_code ec, std::size_t) {
                      if (!ec) ((*self).*next)();
                    });
  }
  void Write(std::string bytes, void (SocksSession::*next)()) {
    out = std::move(bytes);
    net::async_write(*client, net::buffer(out),
                     [self = shared_from_this(), next](error_code ec, std::size_t) {
                       if (!ec && next != nullptr) ((*self).*next)();
                     });
  }
  void Start() { Read(2, &SocksSession::OnGreeting); }
  void OnGreeting() { Read(static_cast<unsigned char>(in[1]), &SocksSession::OnMethods); }
  void OnMethods() {
    const bool password = std::memchr(in.data(), 2, static_cast<unsigned char>(in[1])) != nullptr;
    if (password) return Write(std::string("\x05\x02", 2), &SocksSession::ReadAuth);
    Write(std::string("\x05\x00", 2), &SocksSession::ReadRequest);
  }
  void ReadAuth() { Read(2, &SocksSession::OnUserLength); }
  void OnUserLength() {
    user_length = static_cast<unsigned char>(in[1]);
    Read(user_length + 1u, &SocksSession::OnUser);
  }
  void OnUser() { Read(static_cast<unsigned char>(in[user_length]), &SocksSession::OnPassword); }
  void OnPassword() { Write(std::string("\x01\x00", 2), &SocksSession::ReadRequest); }
  void ReadRequest() { Read(4, &SocksSession::OnRequest); }
  void OnRequest() {
    const int type = in[3];
    if (type == 1) return Read(4 + 2, &SocksSession::Connect);
    if (type == 4) return Read(16 + 2, &SocksSession::Connect);
    Read(1, &SocksSession::OnNameLength);
  }
  void OnNameLength() { Read(static_cast<unsigned char>(in[0]) + 2u, &SocksSession::Connect); }
  void Connect() {
    target->async_connect(site, [self = shared_from_this()](error_code ec) {
      if (ec) return self->Write(std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10), nullptr);
      error_code ignored;
      self->target->set_option(tcp::no_delay(true), ignored);
      self->Write(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10),
                  &SocksSession::Relay);
    });
  }
  void Relay() {
    std::make_shared<Direction>(client, target)->Run();
    std::make_shared<Direction>(target, client)->Run();
  }

  std::shared_ptr<tcp::socket> client, target;
  tcp::endpoint site;
  std::array<char, 260> in{};
  std::string out;
  unsigned user_length = 0;
};

struct SiteSession : std::enable_shared_from_this<SiteSession> {
  SiteSession(tcp::socket socket, const std::string& pattern)
      : socket(std::move(socket)), pattern(pattern) {}
  void Run() {
    net::async_read_until(socket, in, "\r\n\r\n",
                          [self = shared_from_this()](error_code ec, std::size_t n) {
                            if (ec) return;
                            std::string head(net::buffers_begin(self->in.data()),
                                             net::buffers_begin(self->in.data()) + n);
                            self->in.consume(n);
                            if (head.find(" /big ") != std::string::npos) return self->Big();
                            self->out = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
                            net::async_write(self->socket, net::buffer(self->out),
                                             [self](error_code write_ec, std::size_t) {
                                               if (!write_ec) self->Run();
                                             });
                          });
  }
  void Big() {
    out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kDownload) + "\r\n\r\n";
    left = kDownload;
    net::async_write(socket, net::buffer(out),
                     [self = shared_from_this()](error_code ec, std::size_t) {
                       if (!ec) self->MoreBig();
                     });
  }
  void MoreBig() {
    if (left == 0) return Run();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, pattern.size()));
    left -= n;
    net::async_write(socket, net::buffer(pattern.data(), n),
                     [self = shared_from_this()](error_code ec, std::size_t) {
                       if (!ec) self->MoreBig();
                     });
  }
  tcp::socket socket;
  const std::string& pattern;
  net::streambuf in;
  std::string out;
  std::uint64_t left = 0;
};

template <typename Make>
void AcceptForever(tcp::acceptor& acceptor, Make make) {
  acceptor.async_accept([&acceptor, make](error_code ec, tcp::socket socket) {
    if (!ec) {
      error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      make(std::move(socket));
    }
    AcceptForever(acceptor, make);
  });
}

// The child: serves until its parent closes the pipe.
[[noreturn]] void RunServers(int report_fd, int parent_gone_fd) {
  const std::string pattern(1 << 20, 'x');
  net::io_context socks_io(1), site_io(1);
  tcp::acceptor site(site_io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  tcp::acceptor socks(socks_io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  const tcp::endpoint site_at = site.local_endpoint();
  AcceptForever(
      site, [&](tcp::socket s) { std::make_shared<SiteSession>(std::move(s), pattern)->Run(); });
  AcceptForever(socks, [&](tcp::socket s) {
    auto session = std::make_shared<SocksSession>(std::move(s), site_at);
    session->Start();
  });
  const std::string ports =
      std::to_string(socks.local_endpoint().port()) + " " + std::to_string(site_at.port()) + "\n";
  if (write(report_fd, ports.data(), ports.size()) < 0) _exit(1);
  close(report_fd);
  std::thread site_thread([&] { site_io.run(); });
  std::thread socks_thread([&] { socks_io.run(); });
  char byte;
  while (read(parent_gone_fd, &byte, 1) > 0) {
  }
  _exit(0);
}

}  // namespace

namespace {

// ---- The parent's side: browsers, Privoxy, measurements -----------------

net::io_context& ClientContext() {
  static net::io_context context;
  return context;
}

// One blocking browser connection.
class Client {
 public:
  Client() : socket_(ClientContext()) {}

  bool Open(std::uint16_t port) {
    error_code ec;
    socket_.connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
    if (!ec) socket_.set_option(tcp::no_delay(true), ec);
    return !ec;
  }

  // Straight to the SOCKS port, as a program would go without the endpoint:
  // the same user-name isolation, the name unresolved.
  bool OpenThroughSocks(std::uint16_t socks_port, const std::string& host, std::uint16_t port) {
    if (!Open(socks_port)) return false;
    const std::string user = "bench";
    std::string request = std::string("\x05\x01\x02", 3);
    request += std::string("\x01", 1) + static_cast<char>(user.size()) + user + "\x01x";
    request += std::string("\x05\x01\x00\x03", 4) + static_cast<char>(host.size()) + host;
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xff);
    // Sent in one piece; the replies are read afterwards (2 + 2 + 10 bytes).
    if (!Send(request)) return false;
    std::array<char, 14> reply{};
    error_code ec;
    net::read(socket_, net::buffer(reply), ec);
    return !ec && reply[1] == 2 && reply[3] == 0 && reply[5] == 0;
  }

  bool Send(const std::string& bytes) {
    error_code ec;
    net::write(socket_, net::buffer(bytes), ec);
    return !ec;
  }

  // Reads one response with a Content-Length; returns the body's size, or
  // nothing on failure. `head_only` stops after the header.
  std::optional<std::uint64_t> ReadResponse(bool head_only = false) {
    std::size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadSome()) return std::nullopt;
    }
    std::string head = pending_.substr(0, end + 4);
    pending_.erase(0, end + 4);
    if (head.compare(0, 12, "HTTP/1.1 200") != 0 && head.compare(0, 12, "HTTP/1.0 200") != 0) {
      std::fprintf(stderr, "unexpected answer: %s\n", head.substr(0, head.find('\r')).c_str());
      return std::nullopt;
    }
    if (head_only) return 0;
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = head.find("content-length:");
    if (at == std::string::npos) return std::nullopt;
    const std::uint64_t length = std::stoull(head.substr(at + 15));
    std::uint64_t got = std::min<std::uint64_t>(length, pending_.size());
    pending_.erase(0, static_cast<std::size_t>(got));
    while (got < length) {
      error_code ec;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(sink_.size(), length - got));
      got += socket_.read_some(net::buffer(sink_.data(), want), ec);
      if (ec) return std::nullopt;
    }
    return length;
  }

 private:
  bool ReadSome() {
    error_code ec;
    const std::size_t n = socket_.read_some(net::buffer(sink_.data(), 16384), ec);
    if (ec) return false;
    pending_.append(sink_.data(), n);
    return true;
  }

  // One buffer for all clients (they are used one at a time), so that the
  // open tunnels' clients add nothing to this process's memory.
  static std::vector<char>& Sink() {
    static std::vector<char> sink(256 * 1024);
    return sink;
  }

  tcp::socket socket_;
  std::string pending_;
  std::vector<char>& sink_ = Sink();
};

enum class Path { kStraight, kEndpoint, kPrivoxy };

struct Ports {
  std::uint16_t socks = 0;
  std::uint16_t endpoint = 0;
  std::uint16_t privoxy = 0;  // 0: none
};

bool OpenFor(Client& client, Path path, const Ports& ports) {
  switch (path) {
    case Path::kStraight:
      return client.OpenThroughSocks(ports.socks, "site.invalid", 80);
    case Path::kEndpoint:
      return client.Open(ports.endpoint);
    case Path::kPrivoxy:
      return client.Open(ports.privoxy);
  }
  return false;
}

std::string Get(Path path, const char* what) {
  if (path == Path::kStraight) {
    return std::string("GET ") + what + " HTTP/1.1\r\nHost: site.invalid\r\n\r\n";
  }
  return std::string("GET http://site.invalid") + what + " HTTP/1.1\r\nHost: site.invalid\r\n\r\n";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Seconds for one 100 MiB download, connection included; negative on failure.
double Download(Path path, const Ports& ports) {
  const auto start = clock_type::now();
  Client client;
  if (!OpenFor(client, path, ports) || !client.Send(Get(path, "/big"))) return -1;
  const auto size = client.ReadResponse();
  if (!size || *size != kDownload) return -1;
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Median microseconds of kGets requests on one kept-alive connection.
double GetLatency(Path path, const Ports& ports) {
  Client client;
  if (!OpenFor(client, path, ports)) return -1;
  const std::string request = Get(path, "/small");
  std::vector<double> times;
  for (int i = 0; i < kGets + 50; ++i) {
    const auto start = clock_type::now();
    if (!client.Send(request) || !client.ReadResponse()) return -1;
    // The first ones open the way (SOCKS, the site's connection).
    if (i >= 50) {
      times.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
  }
  return Median(times);
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Growth of `pid`'s resident memory, in KiB, with kTunnels CONNECT tunnels
// open through `port`, each having carried one request; negative on failure.
long TunnelMemory(std::uint16_t port, pid_t pid) {
  const long before = RssKiB(pid);
  std::vector<std::unique_ptr<Client>> tunnels;
  for (int i = 0; i < kTunnels; ++i) {
    auto client = std::make_unique<Client>();
    if (!client->Open(port) ||
        !client->Send("CONNECT site" + std::to_string(i) + ".invalid:443 HTTP/1.1\r\n\r\n") ||
        !client->ReadResponse(/*head_only=*/true) ||
        !client->Send("GET /small HTTP/1.1\r\nHost: x\r\n\r\n") || !client->ReadResponse()) {
      std::fprintf(stderr, "tunnel %d failed\n", i);
      return -1;
    }
    tunnels.push_back(std::move(client));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return RssKiB(pid) - before;
}

std::uint16_t FreePort() {
  tcp::acceptor probe(ClientContext(), tcp::endpoint(net::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

// Privoxy on loopback, forwarding everything to the SOCKS port.
class Privoxy {
 public:
  Privoxy(std::uint16_t socks_port) {
    const char* binary = "/usr/sbin/privoxy";
    if (access(binary, X_OK) != 0) return;
    folder_ = std::filesystem::temp_directory_path() /
              ("nimbra-bench-privoxy-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    port_ = FreePort();
    std::ofstream config(folder_ / "config");
    config << "confdir /etc/privoxy\nlogdir " << folder_.string()
           << "\nlisten-address 127.0.0.1:" << port_
           << "\nforward-socks5t / 127.0.0.1:" << socks_port << " .\n"
           << "max-client-connections 4096\nkeep-alive-timeout 300\nsocket-timeout 300\n"
           << "connection-sharing 1\n";
    config.close();
    pid_ = fork();
    if (pid_ == 0) {
      const std::string path = (folder_ / "config").string();
      execl(binary, binary, "--no-daemon", path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 250; ++i) {
      Client probe;
      if (probe.Open(port_)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "Privoxy did not start\n");
    Stop();
  }
  ~Privoxy() { Stop(); }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      port_ = 0;
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      folder_.clear();
    }
  }
  std::uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }

 private:
  std::filesystem::path folder_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

std::string Ratio(double value, double base) {
  if (value <= 0 || base <= 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", value / base);
  return text;
}

}  // namespace

int main() {
  // The SOCKS server and the site in a child of their own.
  int report[2], alive[2];
  if (pipe(report) != 0 || pipe(alive) != 0) return 1;
  const pid_t servers = fork();
  if (servers == 0) {
    close(report[0]);
    close(alive[1]);
    RunServers(report[1], alive[0]);
  }
  close(report[1]);
  close(alive[0]);
  char text[64] = {};
  if (read(report[0], text, sizeof text - 1) <= 0) return 1;
  close(report[0]);
  Ports ports;
  ports.socks = static_cast<std::uint16_t>(std::atoi(text));

  service::HttpEndpointConfig config;
  config.listen_port = 0;
  config.socks_port = ports.socks;
  config.max_connections = 4096;
  service::HttpEndpoint endpoint(config);
  if (const std::string error = endpoint.Start(); !error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  endpoint.SetReady(true);
  ports.endpoint = endpoint.Port();
  Privoxy privoxy(ports.socks);
  ports.privoxy = privoxy.Port();
  const bool with_privoxy = ports.privoxy != 0;
  if (!with_privoxy) std::printf("Privoxy is not installed: its columns are skipped.\n");

  std::vector<Path> paths = {Path::kStraight, Path::kEndpoint};
  if (with_privoxy) paths.push_back(Path::kPrivoxy);

  // Downloads, the paths taking turns so that drift hits all alike.
  std::vector<std::vector<double>> seconds(3);
  for (int run = 0; run < kDownloadRuns; ++run) {
    for (Path path : paths) seconds[static_cast<int>(path)].push_back(Download(path, ports));
  }
  // The median, and the best run: on a machine shared with other work the
  // best is the steadier measure of what the path itself costs.
  double download[3] = {-1, -1, -1};
  double best[3] = {-1, -1, -1};
  for (Path path : paths) {
    auto& runs = seconds[static_cast<int>(path)];
    download[static_cast<int>(path)] = Median(runs);
    best[static_cast<int>(path)] = *std::min_element(runs.begin(), runs.end());
  }
  auto speed = [](double s) { return s > 0 ? (kDownload / 1048576.0) / s : 0.0; };

  double latency[3] = {-1, -1, -1};
  for (Path path : paths) latency[static_cast<int>(path)] = GetLatency(path, ports);

  const long endpoint_memory = TunnelMemory(ports.endpoint, getpid());
  const long privoxy_memory = with_privoxy ? TunnelMemory(ports.privoxy, privoxy.Pid()) : -1;

  const int s = static_cast<int>(Path::kStraight), e = static_cast<int>(Path::kEndpoint),
            p = static_cast<int>(Path::kPrivoxy);
  std::printf("100 MiB download, %d runs: median (best), speed of the median:\n", kDownloadRuns);
  std::printf("  straight through SOCKS  %7.1f ms (%7.1f)  %5.0f MiB/s\n", download[s] * 1e3,
              best[s] * 1e3, speed(download[s]));
  std::printf(
      "  through the endpoint    %7.1f ms (%7.1f)  %5.0f MiB/s  %s (%s) of straight, goal <= "
      "1.10x\n",
      download[e] * 1e3, best[e] * 1e3, speed(download[e]), Ratio(download[e], download[s]).c_str(),
      Ratio(best[e], best[s]).c_str());
  if (with_privoxy) {
    std::printf(
        "  through Privoxy         %7.1f ms (%7.1f)  %5.0f MiB/s  %s (%s) of straight; endpoint %s "
        "(%s) of Privoxy\n",
        download[p] * 1e3, best[p] * 1e3, speed(download[p]),
        Ratio(download[p], download[s]).c_str(), Ratio(best[p], best[s]).c_str(),
        Ratio(download[e], download[p]).c_str(), Ratio(best[e], best[p]).c_str());
  }
  std::printf("%d GETs on one kept-alive connection, median latency:\n", kGets);
  std::printf("  straight through SOCKS  %8.1f us\n", latency[s]);
  std::printf("  through the endpoint    %8.1f us  %s of straight (goal <= 1.20x)\n", latency[e],
              Ratio(latency[e], latency[s]).c_str());
  if (with_privoxy) {
    std::printf("  through Privoxy         %8.1f us  %s of straight; endpoint %s of Privoxy\n",
                latency[p], Ratio(latency[p], latency[s]).c_str(),
                Ratio(latency[e], latency[p]).c_str());
  }
  std::printf("Resident memory growth with %d open CONNECT tunnels:\n", kTunnels);
  std::printf("  endpoint  %7.1f MiB  (%.1f KiB a tunnel)\n", endpoint_memory / 1024.0,
              static_cast<double>(endpoint_memory) / kTunnels);
  if (with_privoxy) {
    std::printf("  Privoxy   %7.1f MiB  (%.1f KiB a tunnel)\n", privoxy_memory / 1024.0,
                static_cast<double>(privoxy_memory) / kTunnels);
  }
  const auto stats = endpoint.Stats();
  std::printf("Endpoint transfer blocks: at most %zu of %zu KiB in use at once\n",
              stats.peak_blocks_in_use, stats.block_size / 1024);
  std::fflush(stdout);

  privoxy.Stop();
  endpoint.Stop();
  close(alive[1]);
  waitpid(servers, nullptr, 0);
  return 0;
}
