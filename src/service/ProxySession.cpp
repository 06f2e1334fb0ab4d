#include "service/ProxySession.h"

#include <algorithm>
#include <boost/beast/http/error.hpp>
#include <cstring>
#include <limits>

#include "service/EndpointLog.h"
#include "service/RegistrableDomain.h"

namespace service {
namespace http = boost::beast::http;

namespace {

constexpr std::size_t kRequestLineLimit = 8 * 1024;
constexpr std::size_t kHeaderLimit = 64 * 1024;
// A header block is parsed from one contiguous buffer, the request line
// already consumed by then: the fields' limit plus one read.
constexpr std::size_t kInputLimit = kHeaderLimit + 16 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;
// Bodies are streamed, never held, so their size is not limited. (The
// parser's "no limit", an empty optional, refuses every body in this
// version of the library.)
constexpr std::uint64_t kNoBodyLimit = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kBlockSize = BufferPool::kBlockSize;
// After an answer that closes the connection, what the browser still sends
// is read and dropped for a while, so that the close does not reset the
// connection before the answer has been read.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 256 * 1024;
// Together with the user name (the site's registrable domain) the password
// selects the circuit family; it only has to be the same for every request.
constexpr const char* kIsolationPassword = "nimbra";

bool WouldBlock(const error_code& ec) {
  return ec == net::error::would_block || ec == net::error::try_again;
}

bool IsForwardedMethod(http::verb verb) {
  switch (verb) {
    case http::verb::get:
    case http::verb::head:
    case http::verb::post:
    case http::verb::put:
    case http::verb::delete_:
    case http::verb::options:
    case http::verb::patch:
      return true;
    default:
      return false;
  }
}

// A chunk's size line: hexadecimal digits and CRLF.
std::string HexSize(std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[size & 0xF]);
    size >>= 4;
  } while (size != 0);
  return digits + "\r\n";
}

}  // namespace

// ---- IdleRegistry ----------------------------------------------------------

void IdleRegistry::Add(ProxySession* session, std::weak_ptr<ProxySession> weak) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (session->in_idle_list_) return;
  session->idle_entry_ = entries_.insert(entries_.end(), Entry{session, std::move(weak)});
  session->in_idle_list_ = true;
}

void IdleRegistry::Remove(ProxySession* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!session->in_idle_list_) return;
  entries_.erase(session->idle_entry_);
  session->in_idle_list_ = false;
}

std::shared_ptr<ProxySession> IdleRegistry::TakeOldest() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!entries_.empty()) {
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    // A session being destroyed waits for this lock in Remove, so it still
    // exists here.
    entry.session->in_idle_list_ = false;
    if (auto session = entry.weak.lock()) return session;
  }
  return nullptr;
}

// ---- Life ------------------------------------------------------------------

ProxySession::ProxySession(EndpointShared& shared, Worker& worker, tcp::socket client)
    : shared_(shared),
      worker_(worker),
      client_(std::move(client)),
      upstream_(worker.io),
      client_in_(kInputLimit),
      upstream_in_(kInputLimit),
      timer_(worker.io) {
  shared_.open.fetch_add(1);
}

ProxySession::~ProxySession() {
  LeaveIdleList();
  shared_.open.fetch_sub(1);
}

void ProxySession::Start() {
  error_code ignored;
  client_.non_blocking(true, ignored);
  client_.set_option(tcp::no_delay(true), ignored);
  BeginRequest();
  SetPhase(Phase::kIdle);
  ReadRequestHeader();
}

void ProxySession::Evict() {
  if (closed_ || (phase_ != Phase::kIdle && phase_ != Phase::kHeader)) return;
  shared_.evicted.fetch_add(1);
  Close();
}

void ProxySession::LeaveIdleList() { shared_.idle.Remove(this); }

// ---- Reading ---------------------------------------------------------------

ProxySession::ReadResult ProxySession::TryRead(tcp::socket& socket, Buffer& buffer,
                                               error_code& ec) {
  const std::size_t room = buffer.max_size() - buffer.size();
  const std::size_t size = socket.read_some(buffer.prepare(std::min(room, kReadChunk)), ec);
  if (WouldBlock(ec)) return ReadResult::kWouldBlock;
  if (ec == net::error::eof) return ReadResult::kEnd;
  if (ec) return ReadResult::kFailed;
  buffer.commit(size);
  Touch();
  return ReadResult::kGot;
}

template <typename Then>
void ProxySession::WhenReadable(tcp::socket& socket, Then then) {
  socket.async_wait(tcp::socket::wait_read,
                    [self = shared_from_this(), epoch = epoch_, then](const error_code& ec) {
                      if (self->closed_ || epoch != self->epoch_) return;
                      if (ec == net::error::operation_aborted) return;
                      // Other errors show in the read that follows.
                      then();
                    });
}

// ---- Requests --------------------------------------------------------------

void ProxySession::BeginRequest() {
  ++epoch_;
  request_.emplace();
  request_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
  request_->body_limit(kNoBodyLimit);
  response_.reset();
  request_line_checked_ = false;
  request_line_size_ = 0;
  header_consumed_ = 0;
  request_line_.clear();
  connect_ = false;
  head_request_ = false;
  client_keep_alive_ = false;
  upstream_keep_alive_ = false;
  upstream_reused_ = false;
  retried_ = false;
  request_body_ = {};
  request_head_.clear();
  request_body_done_ = false;
  response_done_ = false;
  response_started_ = false;
  interim_writing_ = false;
  response_bytes_seen_ = false;
}

bool ProxySession::CheckRequestLine() {
  if (request_line_checked_) return true;
  const char* data = static_cast<const char*>(client_in_.data().data());
  const std::size_t size = client_in_.size();
  const std::size_t scan = std::min(size, kRequestLineLimit + 2);
  const void* end = std::memchr(data, '\n', scan);
  if (end == nullptr) {
    if (size <= kRequestLineLimit + 1) return true;
    request_line_ = Excerpt(std::string_view(data, std::min<std::size_t>(size, 200)));
    Refuse(414, "the request line is longer than 8 KiB");
    return false;
  }
  std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - data);
  if (length > 0 && data[length - 1] == '\r') --length;
  request_line_size_ = static_cast<std::size_t>(static_cast<const char*>(end) - data) + 1;
  request_line_ = Excerpt(std::string_view(data, length));
  request_line_checked_ = true;
  return true;
}

void ProxySession::ReadRequestHeader() {
  for (;;) {
    if (client_in_.size() != 0) {
      if (phase_ == Phase::kIdle) SetPhase(Phase::kHeader);
      if (!CheckRequestLine()) return;
      error_code ec;
      const std::size_t used = request_->put(client_in_.data(), ec);
      client_in_.consume(used);
      header_consumed_ += used;
      if (request_->is_header_done()) {
        if (header_consumed_ - request_line_size_ > kHeaderLimit) return RefuseHeaderTooLarge();
        return OnRequestHeader();
      }
      if (ec && ec != http::error::need_more) {
        if (ec == http::error::header_limit) return RefuseHeaderTooLarge();
        return Refuse(400, "the request is malformed (" + ec.message() + ")");
      }
    }
    // The parser consumes fields as they come, so the whole header's size
    // is counted here.
    if (request_line_checked_ &&
        header_consumed_ + client_in_.size() - request_line_size_ > kHeaderLimit) {
      return RefuseHeaderTooLarge();
    }
    if (client_in_.size() >= client_in_.max_size()) return RefuseHeaderTooLarge();
    error_code ec;
    switch (TryRead(client_, client_in_, ec)) {
      case ReadResult::kGot:
        continue;
      case ReadResult::kWouldBlock:
        // Nothing held while waiting for the next request.
        if (client_in_.size() == 0) client_in_.shrink_to_fit();
        return WhenReadable(client_, [this] { ReadRequestHeader(); });
      case ReadResult::kEnd:
      case ReadResult::kFailed:
        return Close();
    }
  }
}

void ProxySession::OnRequestHeader() {
  LeaveIdleList();
  const auto& request = request_->get();
  client_http11_ = request.version() >= 11;
  if (request.method() == http::verb::connect) return HandleConnect();
  HandleForward(std::string_view(request.method_string().data(), request.method_string().size()));
}

void ProxySession::HandleConnect() {
  connect_ = true;
  const auto& request = request_->get();
  auto destination =
      ParseAuthority(std::string_view(request.target().data(), request.target().size()), 0);
  if (!destination) return Refuse(400, "CONNECT needs a host and a port (host:port)");
  if (IsSelf(*destination, shared_.port)) return Refuse(400, "the request names the proxy itself");
  if (request_->chunked() || request_->content_length().value_or(0) != 0) {
    return Refuse(400, "a CONNECT request has no body");
  }
  destination_ = std::move(*destination);
  if (!shared_.ready.load()) return RefuseNotReady("Anonymity is not ready");
  OpenUpstream();
}

void ProxySession::HandleForward(std::string_view method) {
  const auto& request = request_->get();
  if (!IsForwardedMethod(request.method())) {
    return Refuse(501, "the proxy does not forward this method");
  }
  ParsedTarget target =
      ParseRequestTarget(std::string_view(request.target().data(), request.target().size()));
  switch (target.form) {
    case TargetForm::kAbsolute:
      break;
    case TargetForm::kOriginForm:
    case TargetForm::kAsterisk:
      return Refuse(400,
                    "this is a proxy: a request must name the site in full (http://host/path)");
    case TargetForm::kOtherScheme:
      return Refuse(400, "only http:// addresses are forwarded this way; https uses CONNECT");
    case TargetForm::kMalformed:
      return Refuse(400, "the address in the request is malformed");
  }
  if (IsSelf(target.destination, shared_.port)) {
    return Refuse(400, "the request names the proxy itself");
  }
  if (HasTransferEncoding(request)) {
    // Anything but plain chunked could not be framed again faithfully, and
    // a coding the proxy ignores would let a body pass as the next request.
    if (!IsChunkedOnly(request)) {
      return Refuse(501, "the request's transfer coding is not supported");
    }
    request_body_.kind = Framing::kChunked;
  } else if (const auto length = request_->content_length(); length && *length > 0) {
    request_body_ = {Framing::kLength, *length};
  }
  if (!shared_.ready.load()) return RefuseNotReady("Anonymity is not ready");

  head_request_ = request.method() == http::verb::head;
  client_keep_alive_ = request_->keep_alive();
  destination_ = std::move(target.destination);
  request_head_ = ForwardedRequestHeader(method, target.origin_form, destination_.Authority(80),
                                         request, request_body_, true);
  const std::string key = destination_.host + ":" + std::to_string(destination_.port);
  if (key == upstream_key_ && ParkedUpstreamUsable()) {
    upstream_reused_ = true;
    return SendRequest();
  }
  OpenUpstream();
}

// ---- The SOCKS side --------------------------------------------------------

void ProxySession::OpenUpstream() {
  CloseUpstream();
  ++epoch_;
  upstream_reused_ = false;
  SetPhase(Phase::kSocks);
  Socks5Request request;
  request.host = destination_.host;
  request.port = destination_.port;
  request.user = RegistrableDomain(destination_.host);
  request.password = kIsolationPassword;
  AsyncSocks5Connect(upstream_, shared_.socks, std::move(request),
                     [self = shared_from_this(), epoch = epoch_](const Socks5Result& result) {
                       if (self->closed_ || epoch != self->epoch_) return;
                       self->OnSocks(result);
                     });
}

void ProxySession::OnSocks(const Socks5Result& result) {
  if (phase_ != Phase::kSocks) return;
  if (result.outcome != Socks5Outcome::kConnected) {
    const HttpFailure failure = DescribeSocksFailure(result);
    if (failure.status == 503) return RefuseNotReady(failure.reason);
    return Refuse(failure.status, failure.reason);
  }
  error_code ignored;
  upstream_.non_blocking(true, ignored);
  upstream_key_ = destination_.host + ":" + std::to_string(destination_.port);
  if (!connect_) return SendRequest();

  SetPhase(Phase::kTunnel);
  response_head_ = "HTTP/1.1 200 Connection established\r\n\r\n";
  response_started_ = true;
  net::async_write(client_, net::buffer(response_head_),
                   [self = shared_from_this(), epoch = epoch_](const error_code& ec, std::size_t) {
                     if (self->closed_ || epoch != self->epoch_) return;
                     if (ec) return self->Close();
                     self->Touch();
                     Pump& up = self->up_;
                     up = Pump{};
                     up.from = &self->client_;
                     up.to = &self->upstream_;
                     up.leftover = &self->client_in_;
                     up.done = &ProxySession::OnTunnelDone;
                     Pump& down = self->down_;
                     down = Pump{};
                     down.from = &self->upstream_;
                     down.to = &self->client_;
                     down.leftover = &self->upstream_in_;
                     down.done = &ProxySession::OnTunnelDone;
                     self->StartPump(up);
                     self->StartPump(down);
                   });
}

bool ProxySession::ParkedUpstreamUsable() {
  if (!upstream_.is_open() || upstream_in_.size() != 0) return false;
  // A parked connection has nothing to say: an end, a reset or stray bytes
  // all mean it cannot carry the next request.
  char probe;
  error_code ec;
  upstream_.read_some(net::buffer(&probe, 1), ec);
  return WouldBlock(ec);
}

void ProxySession::CloseUpstream() {
  error_code ignored;
  upstream_.close(ignored);
  upstream_in_.clear();
  upstream_in_.shrink_to_fit();
  upstream_key_.clear();
}

bool ProxySession::RetryOnFreshUpstream() {
  // Only a request without a body can be sent again, and only when the
  // connection was a parked one that the site had closed meanwhile.
  if (!upstream_reused_ || retried_ || response_bytes_seen_ ||
      request_body_.kind != Framing::kNone) {
    return false;
  }
  retried_ = true;
  OpenUpstream();
  return true;
}

void ProxySession::SendRequest() {
  SetPhase(Phase::kExchange);
  net::async_write(upstream_, net::buffer(request_head_),
                   [self = shared_from_this(), epoch = epoch_](const error_code& ec, std::size_t) {
                     if (self->closed_ || epoch != self->epoch_) return;
                     self->OnRequestSent(ec);
                   });
}

void ProxySession::OnRequestSent(const error_code& ec) {
  if (ec) {
    if (RetryOnFreshUpstream()) return;
    return FailUpstream(502, "the site closed the connection");
  }
  Touch();
  if (request_body_.kind == Framing::kNone) {
    request_body_done_ = true;
  } else {
    up_ = Pump{};
    up_.from = &client_;
    up_.to = &upstream_;
    up_.leftover = &client_in_;
    up_.done = &ProxySession::OnRequestBodyDone;
    if (request_body_.kind == Framing::kChunked) {
      up_.parse_request = true;
      up_.chunk_out = true;
    } else {
      up_.bounded = true;
      up_.remaining = request_body_.length;
    }
    StartPump(up_);
  }
  BeginResponse();
}

// ---- Responses -------------------------------------------------------------

void ProxySession::BeginResponse() {
  response_.emplace();
  response_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
  response_->body_limit(kNoBodyLimit);
  header_consumed_ = 0;
  if (head_request_) response_->skip(true);
  ReadResponseHeader();
}

void ProxySession::ReadResponseHeader() {
  for (;;) {
    if (upstream_in_.size() != 0) {
      response_bytes_seen_ = true;
      error_code ec;
      const std::size_t used = response_->put(upstream_in_.data(), ec);
      upstream_in_.consume(used);
      header_consumed_ += used;
      const bool too_large = header_consumed_ > kHeaderLimit + kRequestLineLimit;
      if (response_->is_header_done() && !too_large) return OnResponseHeader();
      if (too_large || ec == http::error::header_limit) {
        return FailUpstream(502, "the site's response header is larger than 64 KiB");
      }
      if (ec && ec != http::error::need_more) {
        return FailUpstream(502, "the site's response is malformed (" + ec.message() + ")");
      }
    }
    if (header_consumed_ + upstream_in_.size() > kHeaderLimit + kRequestLineLimit ||
        upstream_in_.size() >= upstream_in_.max_size()) {
      return FailUpstream(502, "the site's response header is larger than 64 KiB");
    }
    error_code ec;
    switch (TryRead(upstream_, upstream_in_, ec)) {
      case ReadResult::kGot:
        continue;
      case ReadResult::kWouldBlock:
        return WhenReadable(upstream_, [this] { ReadResponseHeader(); });
      case ReadResult::kEnd:
      case ReadResult::kFailed:
        if (RetryOnFreshUpstream()) return;
        return FailUpstream(502, "the site closed the connection without an answer");
    }
  }
}

void ProxySession::OnResponseHeader() {
  const auto& response = response_->get();
  const unsigned status = response.result_int();
  const std::string_view reason(response.reason().data(), response.reason().size());
  if (status / 100 == 1) {
    // The proxy never asks for an upgrade, so a 101 is a site's error.
    if (status == 101) return FailUpstream(502, "the site switched protocols unasked");
    // An interim answer (100 Continue) goes to an HTTP/1.1 browser as it is.
    if (!client_http11_) return BeginResponse();
    response_head_ = ForwardedResponseHeader(status, reason, response, {}, true, true);
    interim_writing_ = true;
    net::async_write(
        client_, net::buffer(response_head_),
        [self = shared_from_this(), epoch = epoch_](const error_code& ec, std::size_t) {
          if (self->closed_ || epoch != self->epoch_) return;
          self->interim_writing_ = false;
          if (ec) return self->Close();
          self->Touch();
          self->BeginResponse();
        });
    return;
  }

  const bool has_body = !response_->is_done();
  if (has_body && HasTransferEncoding(response) && !IsChunkedOnly(response)) {
    return FailUpstream(502, "the site used a transfer coding the proxy does not support");
  }
  down_ = Pump{};
  down_.from = &upstream_;
  down_.to = &client_;
  down_.leftover = &upstream_in_;
  down_.done = &ProxySession::OnResponseBodyDone;
  BodyFraming out;
  upstream_keep_alive_ = response_->keep_alive();
  if (!has_body) {
    out.kind = Framing::kNone;
  } else if (response_->chunked()) {
    down_.parse_response = true;
    if (client_http11_) {
      out.kind = Framing::kChunked;
      down_.chunk_out = true;
    } else {
      out.kind = Framing::kUntilClose;
      client_keep_alive_ = false;
    }
  } else if (const auto length = response_->content_length()) {
    out = {Framing::kLength, *length};
    down_.bounded = true;
    down_.remaining = *length;
  } else {
    // Delimited by the site's close: an HTTP/1.1 browser gets it chunked and
    // keeps its connection.
    upstream_keep_alive_ = false;
    if (client_http11_) {
      out.kind = Framing::kChunked;
      down_.chunk_out = true;
    } else {
      out.kind = Framing::kUntilClose;
      client_keep_alive_ = false;
    }
  }
  response_head_ = ForwardedResponseHeader(status, reason, response, out, client_keep_alive_,
                                           client_http11_, /*keep_length=*/true);
  response_started_ = true;
  // The body bytes that came with the header go out with it, in one write:
  // a small answer then costs the browser one read, not two.
  std::size_t with_header = 0;
  if (has_body && !down_.parse_response && !down_.chunk_out) {
    with_header = upstream_in_.size();
    if (down_.bounded) {
      with_header = static_cast<std::size_t>(std::min<std::uint64_t>(with_header, down_.remaining));
      down_.remaining -= with_header;
    }
  }
  const std::array<net::const_buffer, 2> buffers = {
      net::buffer(response_head_), net::buffer(upstream_in_.data().data(), with_header)};
  net::async_write(client_, buffers,
                   [self = shared_from_this(), epoch = epoch_, has_body, with_header](
                       const error_code& ec, std::size_t) {
                     if (self->closed_ || epoch != self->epoch_) return;
                     if (ec) return self->Close();
                     self->Touch();
                     self->upstream_in_.consume(with_header);
                     if (!has_body) {
                       self->response_done_ = true;
                       return self->FinishExchange();
                     }
                     self->StartPump(self->down_);
                   });
}

void ProxySession::FailUpstream(int status, const std::string& reason) {
  // Once the browser has a header, a failure can only end the connection.
  if (response_started_ || interim_writing_) {
    LogEndpoint("closed mid-response: " + reason);
    return Close();
  }
  Refuse(status, reason);
}

// ---- Pumps -----------------------------------------------------------------

void ProxySession::StartPump(Pump& pump) {
  pump.active = true;
  pump.finished = false;
  if (pump.parse_request) request_->eager(true);
  if (pump.parse_response) response_->eager(true);
  if (pump.parse_request || pump.parse_response) return PumpParsed(pump);
  PumpLeftover(pump);
}

void ProxySession::PumpLeftover(Pump& pump) {
  Buffer& input = *pump.leftover;
  std::size_t size = input.size();
  if (pump.bounded) size = static_cast<std::size_t>(std::min<std::uint64_t>(size, pump.remaining));
  if (size == 0) return PumpRead(pump);
  if (pump.bounded) pump.remaining -= size;
  // Written straight from the input buffer, which is consumed afterwards.
  PumpWrite(pump, static_cast<const char*>(input.data().data()), size, size);
}

void ProxySession::PumpRead(Pump& pump) {
  if (!pump.active) return;
  if (pump.bounded && pump.remaining == 0) return PumpEnd(pump);
  if (!pump.block) pump.block = worker_.pool.Take();
  std::size_t want = kBlockSize;
  if (pump.bounded) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, pump.remaining));
  error_code ec;
  const std::size_t size = pump.from->read_some(net::buffer(pump.block.data(), want), ec);
  if (WouldBlock(ec)) {
    pump.block.Release();
    return WhenReadable(*pump.from, [this, &pump] { PumpRead(pump); });
  }
  if (ec == net::error::eof && !pump.bounded) return PumpEnd(pump);
  if (ec) return PumpFinish(pump, ec, Failure::kRead);
  Touch();
  if (pump.bounded) pump.remaining -= size;
  PumpWrite(pump, pump.block.data(), size, 0);
}

template <typename Parser>
void ProxySession::Feed(Parser& parser, Pump& pump, std::size_t& produced, error_code& ec) {
  auto& body = parser.get().body();
  body.data = pump.block.data();
  body.size = kBlockSize;
  while (!parser.is_done() && pump.leftover->size() != 0 && body.size != 0) {
    const std::size_t used = parser.put(pump.leftover->data(), ec);
    pump.leftover->consume(used);
    if (ec == http::error::need_buffer || ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec) return;
    if (used == 0) break;
  }
  produced = kBlockSize - body.size;
  body.data = nullptr;
}

void ProxySession::PumpParsed(Pump& pump) {
  if (!pump.active) return;
  if (!pump.block) pump.block = worker_.pool.Take();
  for (;;) {
    std::size_t produced = 0;
    error_code ec;
    if (pump.parse_request) {
      Feed(*request_, pump, produced, ec);
    } else {
      Feed(*response_, pump, produced, ec);
    }
    if (ec) return PumpFinish(pump, ec, Failure::kParse);
    if (produced != 0) return PumpWrite(pump, pump.block.data(), produced, 0);
    const bool done = pump.parse_request ? request_->is_done() : response_->is_done();
    if (done) return PumpEnd(pump);
    if (pump.leftover->size() >= pump.leftover->max_size()) {
      return PumpFinish(pump, http::error::bad_chunk, Failure::kParse);
    }
    switch (TryRead(*pump.from, *pump.leftover, ec)) {
      case ReadResult::kGot:
        continue;
      case ReadResult::kWouldBlock:
        pump.block.Release();
        return WhenReadable(*pump.from, [this, &pump] { PumpParsed(pump); });
      case ReadResult::kEnd:
        return PumpFinish(pump, http::error::partial_message, Failure::kRead);
      case ReadResult::kFailed:
        return PumpFinish(pump, ec, Failure::kRead);
    }
  }
}

void ProxySession::PumpWrite(Pump& pump, const char* data, std::size_t size,
                             std::size_t consume_leftover) {
  auto then = [self = shared_from_this(), epoch = epoch_, &pump, consume_leftover](
                  const error_code& ec, std::size_t) {
    if (self->closed_ || epoch != self->epoch_) return;
    if (ec) return self->PumpFinish(pump, ec, Failure::kWrite);
    self->Touch();
    if (consume_leftover != 0) pump.leftover->consume(consume_leftover);
    if (pump.parse_request || pump.parse_response) return self->PumpParsed(pump);
    self->PumpRead(pump);
  };
  if (!pump.chunk_out) {
    return net::async_write(*pump.to, net::buffer(data, size), std::move(then));
  }
  const std::string head = HexSize(size);
  std::memcpy(pump.chunk_head.data(), head.data(), head.size());
  const std::array<net::const_buffer, 3> buffers = {
      net::buffer(pump.chunk_head.data(), head.size()), net::buffer(data, size),
      net::buffer("\r\n", 2)};
  net::async_write(*pump.to, buffers, std::move(then));
}

void ProxySession::PumpEnd(Pump& pump) {
  pump.block.Release();
  if (!pump.chunk_out) return PumpFinish(pump, {}, Failure::kNone);
  net::async_write(
      *pump.to, net::buffer("0\r\n\r\n", 5),
      [self = shared_from_this(), epoch = epoch_, &pump](const error_code& ec, std::size_t) {
        if (self->closed_ || epoch != self->epoch_) return;
        if (ec) return self->PumpFinish(pump, ec, Failure::kWrite);
        self->Touch();
        self->PumpFinish(pump, {}, Failure::kNone);
      });
}

void ProxySession::PumpFinish(Pump& pump, const error_code& ec, Failure failure) {
  pump.active = false;
  pump.finished = !ec;
  pump.failure = failure;
  pump.block.Release();
  (this->*pump.done)(pump, ec);
}

void ProxySession::StopPumps() {
  // Handlers still under way see the new epoch and drop out; their blocks
  // stay with the pumps until then, as a write may still be reading them.
  ++epoch_;
  up_.active = false;
  down_.active = false;
}

void ProxySession::OnRequestBodyDone(Pump& pump, const error_code& ec) {
  if (!ec) {
    request_body_done_ = true;
    return FinishExchange();
  }
  // The rest of the body cannot be found in the stream any more.
  client_keep_alive_ = false;
  if (pump.failure == Failure::kParse) {
    if (!response_started_ && !interim_writing_) {
      return Refuse(400, "the request's chunked body is malformed");
    }
    return Close();
  }
  // The browser went away: nothing to answer.
  if (pump.failure == Failure::kRead) return Close();
  // The site stopped reading, perhaps after answering early: the response
  // side goes on, and ends the connection when it is done.
}

void ProxySession::OnResponseBodyDone(Pump&, const error_code& ec) {
  if (ec) {
    if (ec != net::error::operation_aborted) {
      LogEndpoint("response ended early: " + ec.message());
    }
    return Close();
  }
  response_done_ = true;
  FinishExchange();
}

void ProxySession::OnTunnelDone(Pump& pump, const error_code& ec) {
  if (ec) return Close();
  // One side has finished sending: the other is told, and may still answer.
  error_code ignored;
  pump.to->shutdown(tcp::socket::shutdown_send, ignored);
  if (up_.finished && down_.finished) Close();
}

void ProxySession::FinishExchange() {
  if (!response_done_) return;
  if (!request_body_done_) {
    client_keep_alive_ = false;
    upstream_keep_alive_ = false;
  }
  if (!upstream_keep_alive_) {
    CloseUpstream();
  } else if (upstream_in_.size() == 0) {
    upstream_in_.shrink_to_fit();
  }
  if (!client_keep_alive_) {
    StopPumps();
    SetPhase(Phase::kLinger);
    error_code ignored;
    client_.shutdown(tcp::socket::shutdown_send, ignored);
    return Linger();
  }
  BeginRequest();
  SetPhase(Phase::kIdle);
  ReadRequestHeader();
}

// ---- Endings ---------------------------------------------------------------

void ProxySession::RefuseHeaderTooLarge() {
  Refuse(431, "the request header is larger than 64 KiB");
}

void ProxySession::Refuse(int status, const std::string& reason) {
  LogEndpoint(std::to_string(status) + " " + reason +
              (request_line_.empty() ? std::string() : ": " + request_line_));
  RespondAndClose(LocalResponse(status, reason));
}

void ProxySession::RefuseNotReady(const std::string& reason) {
  LogEndpoint("503 " + reason + (request_line_.empty() ? std::string() : ": " + request_line_));
  RespondAndClose(NotReadyResponse(reason));
}

void ProxySession::RespondAndClose(std::string response) {
  StopPumps();
  CloseUpstream();
  LeaveIdleList();
  SetPhase(Phase::kLinger);
  local_response_ = std::move(response);
  net::async_write(client_, net::buffer(local_response_),
                   [self = shared_from_this(), epoch = epoch_](const error_code& ec, std::size_t) {
                     if (self->closed_ || epoch != self->epoch_) return;
                     if (ec) return self->Close();
                     error_code ignored;
                     self->client_.shutdown(tcp::socket::shutdown_send, ignored);
                     self->Linger();
                   });
}

void ProxySession::Linger() {
  for (;;) {
    char sink[4096];
    error_code ec;
    const std::size_t size = client_.read_some(net::buffer(sink), ec);
    if (WouldBlock(ec)) return WhenReadable(client_, [this] { Linger(); });
    if (ec) return Close();
    lingered_ += size;
    if (lingered_ > kLingerBytes) return Close();
  }
}

void ProxySession::Close() {
  if (closed_) return;
  closed_ = true;
  phase_ = Phase::kClosed;
  ++epoch_;
  LeaveIdleList();
  error_code ignored;
  client_.close(ignored);
  upstream_.close(ignored);
  timer_.cancel();
}

// ---- Time ------------------------------------------------------------------

void ProxySession::SetPhase(Phase phase) {
  phase_ = phase;
  phase_start_ = clock::now();
  last_activity_ = phase_start_;
  if (phase == Phase::kIdle) {
    shared_.idle.Add(this, weak_from_this());
  } else if (phase != Phase::kHeader) {
    LeaveIdleList();
  }
  ArmWatchdog();
}

ProxySession::clock::time_point ProxySession::Deadline() const {
  const HttpEndpointConfig& config = shared_.config;
  switch (phase_) {
    case Phase::kIdle:
      return last_activity_ + config.idle_timeout;
    case Phase::kHeader:
      return phase_start_ + config.header_timeout;
    case Phase::kSocks:
      return phase_start_ + config.connect_timeout;
    case Phase::kExchange:
      return last_activity_ + config.idle_timeout;
    case Phase::kTunnel:
      return last_activity_ + config.tunnel_idle_timeout;
    case Phase::kLinger:
      return phase_start_ + kLingerTime;
    case Phase::kClosed:
      break;
  }
  return clock::time_point::max();
}

void ProxySession::ArmWatchdog() {
  if (closed_) return;
  const clock::time_point deadline = Deadline();
  // An earlier wait still pending finds the later deadline when it fires.
  if (timer_armed_ && armed_for_ <= deadline) return;
  armed_for_ = deadline;
  timer_armed_ = true;
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this()](const error_code& ec) {
    if (ec == net::error::operation_aborted || self->closed_) return;
    self->timer_armed_ = false;
    self->OnWatchdog();
  });
}

void ProxySession::OnWatchdog() {
  if (clock::now() >= Deadline()) return OnTimeout();
  ArmWatchdog();
}

void ProxySession::OnTimeout() {
  switch (phase_) {
    case Phase::kIdle:
      return Close();
    case Phase::kHeader:
      return Refuse(408, "the request header did not arrive in time");
    case Phase::kSocks:
      return Refuse(504, "the anonymity network did not answer in time");
    case Phase::kExchange:
      if (response_started_ || interim_writing_) return Close();
      if (!request_body_done_ && request_body_.kind != Framing::kNone) {
        return Refuse(408, "the request body stopped arriving");
      }
      return Refuse(504, "the site did not answer in time");
    case Phase::kTunnel:
    case Phase::kLinger:
    case Phase::kClosed:
      return Close();
  }
}

}  // namespace service
