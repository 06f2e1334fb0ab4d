// A simulated engine library: speaks the engine's control protocol on its
// control port (authentication with the cookie it writes into its data
// directory when the settings say "CookieAuthentication 1", else without
// credentials; the bootstrap phase
// climbing to 100 percent over a set time, new-circuit requests, shutdown)
// and serves SOCKS5 CONNECT (with or without a user name and password) to
// 127.0.0.1 only. It never contacts any other
// host. Settings beyond the engine's own:
//   SimulatedBootstrapMs N          in the settings file, or
//   NIMBRA_SIMENGINE_BOOTSTRAP_MS   in the environment (the file wins);
// the default is 10 seconds. "SIGNAL SHUTDOWN" or "SIGNAL HALT" on the
// control port makes dll_start return.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EngineKit.h"
#include "engine/ControlAuth.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;  // how soon every loop notices a stop
// How long a thread with nothing to do waits for work before it ends.
constexpr int kIdleThreadMs = 2000;
constexpr int kDefaultBootstrapMs = 10000;

struct Phase {
  int progress;
  const char* tag;
  const char* summary;
};

// The engine's published bootstrap phases.
constexpr Phase kPhases[] = {
    {0, "starting", "Starting"},
    {5, "conn", "Connecting to a relay"},
    {10, "conn_done", "Connected to a relay"},
    {14, "handshake", "Handshaking with a relay"},
    {15, "handshake_done", "Handshake with a relay done"},
    {20, "onehop_create", "Establishing an encrypted directory connection"},
    {25, "requesting_status", "Asking for networkstatus consensus"},
    {30, "loading_status", "Loading networkstatus consensus"},
    {40, "loading_keys", "Loading authority key certs"},
    {45, "requesting_descriptors", "Asking for relay descriptors"},
    {50, "loading_descriptors", "Loading relay descriptors"},
    {75, "enough_dirinfo", "Loaded enough directory info to build circuits"},
    {80, "ap_conn", "Connecting to a relay to build circuits"},
    {85, "ap_conn_done", "Connected to a relay to build circuits"},
    {89, "ap_handshake", "Finishing handshake with a relay to build circuits"},
    {90, "ap_handshake_done", "Handshake finished with a relay to build circuits"},
    {95, "circuit_create", "Establishing a Tor circuit"},
    {100, "done", "Done"},
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
    const std::size_t end = text.find(' ', at);
    words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
  return words;
}

// Reads from a socket until a condition holds, a stop is asked for, the peer
// closes or an error or the idle time-out ends it.
class Reader {
 public:
  Reader(platform::TcpSocket& socket, const std::atomic<bool>& stop)
      : socket_(socket), stop_(stop) {}

  // One line without its line end; false when no whole line came.
  bool Line(std::string& line) {
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (buffer_.size() > 65536 || !Fill()) return false;
    }
  }

  // Exactly `count` bytes; false when they did not come.
  bool Bytes(std::size_t count, std::string& out) {
    while (buffer_.size() < count) {
      if (!Fill()) return false;
    }
    out = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return true;
  }

  // Whether a whole line is already waiting.
  bool HasLine() const { return buffer_.find('\n') != std::string::npos; }

  // What arrived beyond what was read so far.
  std::string TakeRest() {
    std::string rest;
    rest.swap(buffer_);
    return rest;
  }

 private:
  bool Fill() {
    const auto idle_end = Clock::now() + std::chrono::seconds(60);
    while (!stop_) {
      const std::size_t before = buffer_.size();
      const std::uint32_t error = socket_.Receive(buffer_, 4096, kPollMs);
      if (error == platform::SocketTimedOut()) {
        if (Clock::now() > idle_end) return false;
        continue;
      }
      return error == 0 && buffer_.size() > before;
    }
    return false;
  }

  platform::TcpSocket& socket_;
  const std::atomic<bool>& stop_;
  std::string buffer_;
};

class SimulatedEngine {
 public:
  SimulatedEngine() : started_(Clock::now()) {}

  ~SimulatedEngine() { JoinSessions(true); }

  void Run(const std::string& settings_path) {
    if (!Configure(settings_path)) return;
    if (const std::uint32_t error = control_.Listen("127.0.0.1", control_port_)) {
      Warn("Could not bind control port " + std::to_string(control_port_) + ": error " +
           std::to_string(error));
      return;
    }
    if (socks_port_ != 0) {
      if (const std::uint32_t error = socks_.Listen("127.0.0.1", socks_port_)) {
        Warn("Could not bind SOCKS port " + std::to_string(socks_port_) + ": error " +
             std::to_string(error));
        return;
      }
    }
    Warn("Simulated engine: no relay is ever contacted; SOCKS serves 127.0.0.1 only.");

    if (socks_.IsOpen()) StartPortThread(socks_threads_);
    // This thread serves the control port until the engine stops.
    ServePort(control_threads_, true);
    Stop();
    // A thread may start another as the stop comes: join until none is left.
    while (JoinSessions(true)) {
    }
    control_.Close();
    socks_.Close();
  }

 private:
  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // The threads of one port. One of them at a time waits for the next
  // connection; the one that gets it passes the waiting on (to an idle
  // thread, or to a new one when none is idle) and serves the connection
  // itself, as the engine answers on the thread that saw the connection
  // come. Neither a thread per connection nor a hand-over of each
  // connection to another thread: on some machines starting a thread takes
  // longer than a whole loopback exchange, and waking one about as long.
  struct PortThreads {
    PortThreads(platform::TcpListener& listener_, bool control_)
        : listener(listener_), control(control_) {}
    platform::TcpListener& listener;
    const bool control;
    std::mutex mutex;
    std::condition_variable turn;  // the waiting for connections is free
    bool listening = false;        // a thread waits for connections
    std::size_t idle = 0;          // threads waiting for their turn
  };

  bool Configure(const std::string& settings_path) {
    const auto settings = enginekit::ReadSettings(settings_path);
    if (!settings) return false;  // the engine cannot run without its settings
    if (auto log = enginekit::Find(*settings, "Log")) {
      const std::string prefix = "warn file ";
      if (log->compare(0, prefix.size(), prefix) == 0) warn_log_ = log->substr(prefix.size());
    }
    const auto control = enginekit::Find(*settings, "ControlPort");
    const auto control_port = control ? enginekit::PortOf(*control) : std::nullopt;
    if (!control_port || *control_port == 0) {
      Warn("No usable ControlPort in the settings: nothing to serve.");
      return false;
    }
    control_port_ = *control_port;
    if (const auto socks = enginekit::Find(*settings, "SocksPort")) {
      if (const auto port = enginekit::PortOf(*socks)) socks_port_ = *port;
    }
    if (const auto address = enginekit::Find(*settings, "SocksListenAddress")) {
      if (*address != "127.0.0.1") Warn("SOCKS listens on 127.0.0.1 only, not " + *address);
    }
    bootstrap_ms_ = kDefaultBootstrapMs;
    const std::string from_environment =
        platform::EnvironmentValue("NIMBRA_SIMENGINE_BOOTSTRAP_MS");
    if (!from_environment.empty()) bootstrap_ms_ = std::atoi(from_environment.c_str());
    if (const auto from_file = enginekit::Find(*settings, "SimulatedBootstrapMs")) {
      bootstrap_ms_ = std::atoi(from_file->c_str());
    }
    if (!ConfigureCookie(settings_path)) return false;
    if (const auto data = enginekit::Find(*settings, "DataDirectory")) {
      // The engine keeps its state in its data directory.
      if (platform::ForceDirectories(*data)) {
        platform::ReplaceFileAtomically(
            platform::IncludeTrailingDelimiter(*data) + "state",
            "# Simulated engine state\r\nBootstrapMs " + std::to_string(bootstrap_ms_) + "\r\n");
      } else {
        Warn("Could not create the data directory " + *data);
      }
    }
    return true;
  }

  // With cookie authentication asked for, a fresh cookie in its file for
  // every start; an engine that cannot write it does not start.
  bool ConfigureCookie(const std::string& settings_path) {
    const std::string text =
        platform::AnsiToUtf8(platform::ReadWholeFile(settings_path).value_or(""));
    const engine_auth::TControlAuth auth =
        engine_auth::ParseControlAuth(text, platform::kPathDelim);
    if (!auth.Cookie) return true;
    std::random_device random;
    std::string cookie;
    while (cookie.size() < engine_auth::kCookieLength) {
      cookie += static_cast<char>(random() & 0xFF);
    }
    const std::string folder = platform::ExtractFilePath(auth.CookieFile);
    if (auth.CookieFile.empty() || (!folder.empty() && !platform::ForceDirectories(folder)) ||
        !platform::ReplaceFileAtomically(auth.CookieFile, cookie)) {
      Warn("Could not write the authentication cookie " + auth.CookieFile);
      return false;
    }
    cookie_file_ = auth.CookieFile;
    cookie_hex_ = engine_auth::HexText(cookie);
    return true;
  }

  bool CookieMatches(const std::vector<std::string>& words) const {
    if (words.size() != 2 || words[1].size() != cookie_hex_.size()) return false;
    return Upper(words[1]) == cookie_hex_;
  }

  void Warn(const std::string& text) {
    if (warn_log_.empty()) return;
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const platform::LocalTime t = platform::Now();
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%s %02d %02d:%02d:%02d.%03d",
                  kMonths[(t.month >= 1 && t.month <= 12) ? t.month - 1 : 0], t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    std::lock_guard<std::mutex> lock(log_mutex_);
    platform::AppendToFile(warn_log_,
                           platform::Utf8ToAnsi(std::string(stamp) + " [warn] " + text + "\r\n"));
  }

  void StartPortThread(PortThreads& port) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, &port, done] {
      ServePort(port, false);
      *done = true;
    });
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    sessions_.push_back({std::move(thread), done});
  }

  // Every thread ends: those waiting for their turn at once, the others
  // within kPollMs.
  void Stop() {
    stop_ = true;
    for (PortThreads* port : {&control_threads_, &socks_threads_}) {
      std::lock_guard<std::mutex> lock(port->mutex);
      port->turn.notify_all();
    }
  }

  // One thread of a port, until the engine stops or, unless it is the
  // `lasting` one, it has had nothing to do for a while.
  void ServePort(PortThreads& port, bool lasting) {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(port.mutex);
        ++port.idle;
        const auto free = [&] { return stop_ || !port.listening; };
        bool my_turn = true;
        if (lasting) {
          while (!port.turn.wait_for(lock, std::chrono::milliseconds(kPollMs), free)) {
          }
        } else {
          my_turn = port.turn.wait_for(lock, std::chrono::milliseconds(kIdleThreadMs), free);
        }
        --port.idle;
        if (!my_turn || stop_) return;
        port.listening = true;
      }
      platform::TcpSocket peer;
      std::uint32_t error = 0;
      while (!stop_ && (error = port.listener.Accept(peer, kPollMs)) != 0) JoinSessions(false);
      bool start_thread = false;
      {
        std::lock_guard<std::mutex> lock(port.mutex);
        port.listening = false;
        if (stop_) {
          port.turn.notify_all();
          return;
        }
        if (port.idle > 0) {
          port.turn.notify_one();
        } else {
          start_thread = true;
        }
      }
      if (start_thread) StartPortThread(port);
      if (port.control) {
        ServeControl(peer);
      } else {
        ServeSocks(peer);
      }
      peer.Close();
    }
  }

  // Joins the finished sessions, or all of them; whether there were any.
  bool JoinSessions(bool all) {
    std::vector<Session> ending;
    {
      std::lock_guard<std::mutex> lock(sessions_mutex_);
      auto keep = std::partition(sessions_.begin(), sessions_.end(),
                                 [all](const Session& s) { return !all && !*s.done; });
      std::move(keep, sessions_.end(), std::back_inserter(ending));
      sessions_.erase(keep, sessions_.end());
    }
    for (Session& session : ending) session.thread.join();
    return !ending.empty();
  }

  int Progress() const {
    if (bootstrap_ms_ <= 0) return 100;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    return static_cast<int>(std::min<long long>(100, elapsed * 100 / bootstrap_ms_));
  }

  std::string BootstrapPhase() const {
    const int progress = Progress();
    const Phase* phase = &kPhases[0];
    for (const Phase& p : kPhases) {
      if (p.progress <= progress) phase = &p;
    }
    return "NOTICE BOOTSTRAP PROGRESS=" + std::to_string(progress) + " TAG=" + phase->tag +
           " SUMMARY=\"" + phase->summary + "\"";
  }

  // The reply to one command line, and whether the connection then closes.
  std::string Answer(const std::string& line, bool& authenticated, bool& close) {
    const std::vector<std::string> words = Words(line);
    const std::string command = words.empty() ? "" : Upper(words[0]);
    if (command == "QUIT") {
      close = true;
      return "250 closing connection";
    }
    if (command == "PROTOCOLINFO") {
      const std::string methods = cookie_hex_.empty()
                                      ? "METHODS=NULL"
                                      : "METHODS=COOKIE COOKIEFILE=\"" + cookie_file_ + "\"";
      return "250-PROTOCOLINFO 1\r\n250-AUTH " + methods +
             "\r\n"
             "250-VERSION Tor=\"0.4.9.11\"\r\n250 OK";
    }
    if (command == "AUTHENTICATE") {
      // Without a cookie no credentials are configured: any will do.
      if (cookie_hex_.empty() || CookieMatches(words)) {
        authenticated = true;
        return "250 OK";
      }
      close = true;
      return words.size() < 2
                 ? "515 Authentication failed: Wrong length on authentication cookie."
                 : "515 Authentication failed: Authentication cookie did not match expected value.";
    }
    if (!authenticated) {
      close = true;
      return "514 Authentication required.";
    }
    if (command == "GETINFO") {
      if (words.size() < 2) return "250 OK";
      std::string reply;
      for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "status/bootstrap-phase") {
          reply += "250-status/bootstrap-phase=" + BootstrapPhase() + "\r\n";
        } else if (words[i] == "version") {
          reply += "250-version=0.4.9.11 (simulated)\r\n";
        } else {
          return "552 Unrecognized key \"" + words[i] + "\"";
        }
      }
      return reply + "250 OK";
    }
    if (command == "SIGNAL") {
      const std::string signal = words.size() > 1 ? Upper(words[1]) : "";
      if (signal == "NEWNYM") {
        ++new_identities_;
        return "250 OK";
      }
      if (signal == "SHUTDOWN" || signal == "HALT") {
        Stop();
        close = true;
        return "250 OK";
      }
      if (signal == "RELOAD" || signal == "HUP" || signal == "DUMP" || signal == "DEBUG" ||
          signal == "CLEARDNSCACHE" || signal == "HEARTBEAT" || signal == "ACTIVE" ||
          signal == "DORMANT") {
        return "250 OK";
      }
      return "552 Unrecognized signal code \"" + (words.size() > 1 ? words[1] : "") + "\"";
    }
    return "510 Unrecognized command \"" + (words.empty() ? "" : words[0]) + "\"";
  }

  void ServeControl(platform::TcpSocket& peer) {
    Reader reader(peer, stop_);
    bool authenticated = false;
    std::string line;
    std::string replies;
    while (reader.Line(line)) {
      bool close = false;
      replies += Answer(line, authenticated, close);
      replies += "\r\n";
      // As the engine does, the answers to lines that came together leave
      // together.
      if (close || !reader.HasLine()) {
        if (peer.SendAll(replies) != 0 || close) return;
        replies.clear();
      }
    }
  }

  // Copies one direction until its source closes or a stop is asked for;
  // then passes the end on.
  void Pump(platform::TcpSocket& from, platform::TcpSocket& to) {
    while (!stop_) {
      std::string chunk;
      const std::uint32_t error = from.Receive(chunk, 16384, kPollMs);
      if (error == platform::SocketTimedOut()) continue;
      if (error != 0 || chunk.empty() || to.SendAll(chunk) != 0) break;
    }
    to.ShutdownSend();
  }

  void ServeSocks(platform::TcpSocket& client) {
    Reader reader(client, stop_);
    std::string bytes;
    // Greeting: version 5 and the offered methods. A user name and password
    // (RFC 1929) are taken as the engine takes them, to keep streams apart,
    // and not checked; otherwise "no authentication".
    if (!reader.Bytes(2, bytes) || bytes[0] != 5) return;
    std::string methods;
    if (!reader.Bytes(static_cast<unsigned char>(bytes[1]), methods)) return;
    if (methods.find('\x02') != std::string::npos) {
      if (client.SendAll(std::string("\x05\x02", 2)) != 0) return;
      std::string part;
      if (!reader.Bytes(2, bytes) || bytes[0] != 1) return;
      if (!reader.Bytes(static_cast<unsigned char>(bytes[1]), part)) return;  // user name
      if (!reader.Bytes(1, bytes) || !reader.Bytes(static_cast<unsigned char>(bytes[0]), part))
        return;  // password
      if (client.SendAll(std::string("\x01\x00", 2)) != 0) return;
    } else if (methods.find('\0') != std::string::npos) {
      if (client.SendAll(std::string("\x05\x00", 2)) != 0) return;
    } else {
      client.SendAll(std::string("\x05\xFF", 2));
      return;
    }

    // Request: version, command, reserved, address type, address, port.
    if (!reader.Bytes(4, bytes) || bytes[0] != 5) return;
    const char command = bytes[1];
    const char type = bytes[3];
    std::string host;
    if (type == 1) {
      std::string a;
      if (!reader.Bytes(4, a)) return;
      host = std::to_string(static_cast<unsigned char>(a[0])) + "." +
             std::to_string(static_cast<unsigned char>(a[1])) + "." +
             std::to_string(static_cast<unsigned char>(a[2])) + "." +
             std::to_string(static_cast<unsigned char>(a[3]));
    } else if (type == 3) {
      std::string length;
      if (!reader.Bytes(1, length) || !reader.Bytes(static_cast<unsigned char>(length[0]), host))
        return;
    } else {
      std::string ignored;
      if (type == 4) reader.Bytes(16 + 2, ignored);
      SocksReply(client, 8);  // address type not supported
      return;
    }
    std::string port_bytes;
    if (!reader.Bytes(2, port_bytes)) return;
    const auto port = static_cast<std::uint16_t>(static_cast<unsigned char>(port_bytes[0]) << 8 |
                                                 static_cast<unsigned char>(port_bytes[1]));
    if (command != 1) {
      SocksReply(client, 7);  // command not supported
      return;
    }
    if (host != "127.0.0.1" && host != "localhost") {
      Warn("Refused a SOCKS request for " + host + ":" + std::to_string(port) +
           ": only 127.0.0.1 is served.");
      SocksReply(client, 2);  // not allowed by the rule set
      return;
    }
    platform::TcpSocket target;
    if (target.Connect("127.0.0.1", port, 5000) != 0) {
      SocksReply(client, 5);  // connection refused
      return;
    }
    if (!SocksReply(client, 0)) return;
    const std::string early = reader.TakeRest();
    if (!early.empty() && target.SendAll(early) != 0) return;

    std::thread back([&] { Pump(target, client); });
    Pump(client, target);
    back.join();
  }

  static bool SocksReply(platform::TcpSocket& client, char code) {
    const char reply[] = {5, code, 0, 1, 127, 0, 0, 1, 0, 0};
    return client.SendAll(std::string(reply, sizeof reply)) == 0;
  }

  const Clock::time_point started_;
  std::atomic<bool> stop_{false};
  std::uint16_t control_port_ = 0;
  std::uint16_t socks_port_ = 0;
  int bootstrap_ms_ = kDefaultBootstrapMs;
  std::string warn_log_;
  std::string cookie_file_;
  std::string cookie_hex_;  // empty: no credentials asked for
  std::mutex log_mutex_;
  std::atomic<int> new_identities_{0};
  platform::TcpListener control_;
  platform::TcpListener socks_;
  std::mutex sessions_mutex_;
  std::vector<Session> sessions_;
  PortThreads control_threads_{control_, true};
  PortThreads socks_threads_{socks_, false};
};

}  // namespace

void PLATFORM_CDECL dll_start(const char* settings_path) {
  if (settings_path == nullptr) return;
  SimulatedEngine engine;
  engine.Run(platform::AnsiToUtf8(settings_path));
}
