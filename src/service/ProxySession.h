// One browser connection to the endpoint, from its first byte to its close:
// requests read and checked, the SOCKS connection opened, bytes pumped both
// ways, time-outs watched. Internal to the endpoint.
#pragma once

#include <array>
#include <atomic>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/Asio.h"
#include "service/BufferPool.h"
#include "service/HttpEndpoint.h"
#include "service/ProxyMessages.h"
#include "service/RequestTarget.h"
#include "service/Socks5.h"

namespace service {

class ProxySession;

// The browser connections waiting for a request, oldest first: at the
// connection limit the oldest of them makes room for a newcomer.
class IdleRegistry {
 public:
  void Add(ProxySession* session, std::weak_ptr<ProxySession> weak);
  void Remove(ProxySession* session);
  // The oldest waiting connection that still exists, taken off the list.
  std::shared_ptr<ProxySession> TakeOldest();

  struct Entry {
    ProxySession* session;
    std::weak_ptr<ProxySession> weak;
  };

 private:
  std::mutex mutex_;
  std::list<Entry> entries_;
};

// What the listener and all connections share; outlives every connection.
struct EndpointShared {
  HttpEndpointConfig config;
  std::uint16_t port = 0;
  tcp::endpoint socks;
  std::atomic<bool> ready{false};
  std::atomic<std::size_t> open{0};
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> refused_busy{0};
  std::atomic<std::uint64_t> evicted{0};
  BlockCounter blocks;
  IdleRegistry idle;
};

// One network thread: its blocks, its event loop. The pool is declared first
// so that it outlives the connections the loop still holds when destroyed.
struct Worker {
  explicit Worker(BlockCounter& counter) : pool(counter, 32) {}
  BufferPool pool;
  net::io_context io{1};
  std::thread thread;
};

class ProxySession : public std::enable_shared_from_this<ProxySession> {
 public:
  ProxySession(EndpointShared& shared, Worker& worker, tcp::socket client);
  ~ProxySession();
  ProxySession(const ProxySession&) = delete;
  ProxySession& operator=(const ProxySession&) = delete;

  // Both on the worker's thread.
  void Start();
  // Closes the connection if it is still only waiting for a request.
  void Evict();
  // The executor of the connection's thread.
  tcp::socket::executor_type Executor() { return client_.get_executor(); }

 private:
  using clock = std::chrono::steady_clock;
  using RequestParser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;
  using ResponseParser = boost::beast::http::response_parser<boost::beast::http::buffer_body>;
  using Buffer = boost::beast::flat_buffer;

  friend class IdleRegistry;

  enum class Phase { kIdle, kHeader, kSocks, kExchange, kTunnel, kLinger, kClosed };
  enum class ReadResult { kGot, kWouldBlock, kEnd, kFailed };
  enum class Failure { kNone, kRead, kWrite, kParse };

  // One direction of bytes: from a socket (after what its input buffer still
  // holds) to the other socket, raw or re-framed as chunks.
  struct Pump {
    tcp::socket* from = nullptr;
    tcp::socket* to = nullptr;
    Buffer* leftover = nullptr;
    bool bounded = false;  // `remaining` bytes, else until the end
    std::uint64_t remaining = 0;
    bool chunk_out = false;      // write chunked framing
    bool parse_request = false;  // input is chunked: decode through the parser
    bool parse_response = false;
    bool active = false;
    bool finished = false;
    Failure failure = Failure::kNone;
    Block block;
    std::array<char, 20> chunk_head{};
    void (ProxySession::*done)(Pump&, const error_code&) = nullptr;
  };

  // Requests.
  void BeginRequest();
  void ReadRequestHeader();
  void OnRequestHeader();
  void HandleConnect();
  void HandleForward(std::string_view method);
  bool CheckRequestLine();

  // The SOCKS side.
  void OpenUpstream();
  void OnSocks(const Socks5Result& result);
  bool ParkedUpstreamUsable();
  void CloseUpstream();
  void SendRequest();
  void OnRequestSent(const error_code& ec);
  bool RetryOnFreshUpstream();

  // Responses.
  void BeginResponse();
  void ReadResponseHeader();
  void OnResponseHeader();
  void FailUpstream(int status, const std::string& reason);

  // Pumps.
  void StartPump(Pump& pump);
  void PumpLeftover(Pump& pump);
  void PumpRead(Pump& pump);
  void PumpParsed(Pump& pump);
  // Decodes what the input buffer holds into the pump's block.
  template <typename Parser>
  void Feed(Parser& parser, Pump& pump, std::size_t& produced, error_code& ec);
  // Writes, consumes `consume_leftover` bytes of the input buffer, goes on.
  void PumpWrite(Pump& pump, const char* data, std::size_t size, std::size_t consume_leftover);
  void PumpEnd(Pump& pump);
  void PumpFinish(Pump& pump, const error_code& ec, Failure failure);
  void StopPumps();
  void OnRequestBodyDone(Pump& pump, const error_code& ec);
  void OnResponseBodyDone(Pump& pump, const error_code& ec);
  void OnTunnelDone(Pump& pump, const error_code& ec);
  void FinishExchange();

  // Endings.
  void Refuse(int status, const std::string& reason);
  void RefuseHeaderTooLarge();
  void RefuseNotReady(const std::string& reason);
  void RespondAndClose(std::string response);
  void Linger();
  void Close();

  // Time.
  void SetPhase(Phase phase);
  void Touch() { last_activity_ = clock::now(); }
  clock::time_point Deadline() const;
  void ArmWatchdog();
  void OnWatchdog();
  void OnTimeout();

  // Reads what has arrived into `buffer` without waiting.
  ReadResult TryRead(tcp::socket& socket, Buffer& buffer, error_code& ec);
  template <typename Then>
  void WhenReadable(tcp::socket& socket, Then then);
  void LeaveIdleList();

  EndpointShared& shared_;
  Worker& worker_;
  tcp::socket client_;
  tcp::socket upstream_;
  Buffer client_in_;
  Buffer upstream_in_;
  net::steady_timer timer_;
  clock::time_point armed_for_ = clock::time_point::max();
  bool timer_armed_ = false;

  Phase phase_ = Phase::kIdle;
  clock::time_point phase_start_;
  clock::time_point last_activity_;
  // Both guarded by the registry's mutex.
  bool in_idle_list_ = false;
  std::list<IdleRegistry::Entry>::iterator idle_entry_;
  bool closed_ = false;
  // Advanced whenever what is under way is abandoned: a handler of an older
  // epoch has nothing left to do.
  std::uint64_t epoch_ = 0;

  std::optional<RequestParser> request_;
  std::optional<ResponseParser> response_;
  bool request_line_checked_ = false;
  std::size_t request_line_size_ = 0;  // with its line end
  std::size_t header_consumed_ = 0;    // header bytes the parser has taken
  std::string request_line_;           // an excerpt, for the log

  // The exchange in progress.
  bool connect_ = false;
  bool head_request_ = false;
  bool client_http11_ = true;
  bool client_keep_alive_ = false;
  bool upstream_keep_alive_ = false;
  Destination destination_;
  std::string upstream_key_;  // destination and isolation of the open upstream
  bool upstream_reused_ = false;
  bool retried_ = false;
  BodyFraming request_body_;
  std::string request_head_;
  std::string response_head_;
  std::string local_response_;
  bool request_body_done_ = false;
  bool response_done_ = false;
  bool response_started_ = false;  // the final header went to the browser
  bool interim_writing_ = false;
  bool response_bytes_seen_ = false;
  Pump up_;    // browser to site
  Pump down_;  // site to browser
  std::size_t lingered_ = 0;
};

}  // namespace service
