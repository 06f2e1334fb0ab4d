#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/HttpEndpoint.h"
#include "service/RegistrableDomain.h"
#include "service/RequestTarget.h"
#include "service/Socks5.h"
#include "support/LoopbackPeers.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

using loopback::Conn;
using loopback::kWaitMs;
using service::HttpEndpoint;
using service::HttpEndpointConfig;
using Reply = loopback::http::response<loopback::http::string_body>;

constexpr std::uint64_t kMiB = 1ull << 20;

std::string Field(const Reply& reply, std::string_view name) {
  const auto it = reply.find(boost::beast::string_view(name.data(), name.size()));
  return it == reply.end() ? std::string("<none>") : std::string(it->value());
}

// ---- The pieces without a network --------------------------------------

TEST(RegistrableDomainTest, SitesStayApartAndSubdomainsTogether) {
  using service::RegistrableDomain;
  EXPECT_EQ(RegistrableDomain("www.example.co.uk"), "example.co.uk");
  EXPECT_EQ(RegistrableDomain("img.example.co.uk"), "example.co.uk");
  EXPECT_EQ(RegistrableDomain("a.com"), "a.com");
  EXPECT_NE(RegistrableDomain("a.com"), RegistrableDomain("b.com"));
  EXPECT_EQ(RegistrableDomain("Deep.Sub.Example.COM."), "example.com");
  EXPECT_EQ(RegistrableDomain("news.bbc.co.uk"), "bbc.co.uk");
  EXPECT_EQ(RegistrableDomain("shop.example.com.au"), "example.com.au");
  // A three-letter top level never takes a third label.
  EXPECT_EQ(RegistrableDomain("x.co.com"), "co.com");
  EXPECT_EQ(RegistrableDomain("www.abcdefghij234567.onion"), "abcdefghij234567.onion");
  EXPECT_EQ(RegistrableDomain("localhost"), "localhost");
  EXPECT_EQ(RegistrableDomain("co.uk"), "co.uk");
  // Addresses are their own domain, never cut into labels.
  EXPECT_EQ(RegistrableDomain("192.0.2.10"), "192.0.2.10");
  EXPECT_NE(RegistrableDomain("192.0.2.10"), RegistrableDomain("198.51.100.10"));
  EXPECT_EQ(RegistrableDomain("[2001:db8::1]"), "2001:db8::1");
  // Not quite an address: a name.
  EXPECT_EQ(RegistrableDomain("1.2.3.example"), "3.example");
  EXPECT_FALSE(service::IsIpLiteral("1.2.3"));
  EXPECT_FALSE(service::IsIpLiteral("256.1.1.1"));
}

TEST(RequestTargetTest, AbsoluteFormsParseAndOthersAreNamed) {
  using service::ParseRequestTarget;
  using service::TargetForm;
  auto t = ParseRequestTarget("http://Site.Invalid:8080/a/b?x=1#frag");
  ASSERT_EQ(t.form, TargetForm::kAbsolute);
  EXPECT_EQ(t.destination.host, "site.invalid");
  EXPECT_EQ(t.destination.port, 8080);
  EXPECT_EQ(t.origin_form, "/a/b?x=1");
  EXPECT_EQ(t.destination.Authority(80), "site.invalid:8080");

  t = ParseRequestTarget("HTTP://example.com");
  ASSERT_EQ(t.form, TargetForm::kAbsolute);
  EXPECT_EQ(t.origin_form, "/");
  EXPECT_EQ(t.destination.Authority(80), "example.com");
  EXPECT_EQ(ParseRequestTarget("http://example.com?q").origin_form, "/?q");

  t = ParseRequestTarget("http://[2001:db8::1]:81/");
  ASSERT_EQ(t.form, TargetForm::kAbsolute);
  EXPECT_TRUE(t.destination.ipv6);
  EXPECT_EQ(t.destination.Authority(80), "[2001:db8::1]:81");

  EXPECT_EQ(ParseRequestTarget("/index.html").form, TargetForm::kOriginForm);
  EXPECT_EQ(ParseRequestTarget("*").form, TargetForm::kAsterisk);
  EXPECT_EQ(ParseRequestTarget("https://example.com/").form, TargetForm::kOtherScheme);
  for (const char* bad :
       {"http://user@example.com/", "http://exa mple.com/", "http://:80/", "http://example.com:0/",
        "http://example.com:65536/", "http://example.com:8x/", "http://[::1/", "http://a..b/",
        "http://%65xample.com/", "example.com"}) {
    EXPECT_EQ(ParseRequestTarget(bad).form, TargetForm::kMalformed) << bad;
  }
  EXPECT_FALSE(service::ParseAuthority("example.com", 0)) << "CONNECT needs the port";
  const auto self = service::ParseAuthority("LOCALHOST:35489", 0);
  ASSERT_TRUE(self);
  EXPECT_TRUE(service::IsSelf(*self, 35489));
  EXPECT_FALSE(service::IsSelf(*self, 35490));
  EXPECT_TRUE(service::IsSelf(*service::ParseAuthority("127.0.0.1:35489", 0), 35489));
  EXPECT_FALSE(service::IsSelf(*service::ParseAuthority("example.com:35489", 0), 35489));
}

TEST(Socks5Test, NamesTravelAsNamesAndLiteralsAsAddresses) {
  using service::Socks5ConnectRequest;
  EXPECT_EQ(Socks5ConnectRequest("site.invalid", 443),
            std::string("\x05\x01\x00\x03\x0c", 5) + "site.invalid" + std::string("\x01\xbb", 2));
  EXPECT_EQ(Socks5ConnectRequest("192.0.2.1", 80),
            std::string("\x05\x01\x00\x01\xc0\x00\x02\x01\x00\x50", 10));
  const std::string v6 = Socks5ConnectRequest("[2001:db8::1]", 80);
  ASSERT_EQ(v6.size(), 22u);
  EXPECT_EQ(v6[3], 4);
  EXPECT_EQ(Socks5ConnectRequest(std::string(256, 'a'), 80), "") << "too long for SOCKS";
  EXPECT_EQ(service::Socks5Credentials("a.com", "p"), std::string("\x01\x05"
                                                                  "a.com\x01p",
                                                                  9));
  const std::uint8_t name_reply[5] = {5, 0, 0, 3, 7};
  EXPECT_EQ(service::Socks5ReplyLength(name_reply), 4u + 1 + 7 + 2);
  const std::uint8_t bad_reply[5] = {5, 0, 0, 9, 0};
  EXPECT_FALSE(service::Socks5ReplyLength(bad_reply));
}

// ---- The endpoint between a browser, a SOCKS server and a site -----------

// A browser's connection to the endpoint.
struct Browser {
  Conn conn;
  std::string pending;

  std::optional<Reply> Ask(const std::string& request, bool head = false) {
    if (!conn.Send(request)) return std::nullopt;
    return loopback::ReadReply(conn, pending, head);
  }
  std::optional<Reply> Read(bool head = false) { return loopback::ReadReply(conn, pending, head); }
};

class HttpEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    origin_.Start();
    socks_ = std::make_unique<loopback::SocksServer>(origin_.Port());
    socks_->Start();
  }

  void TearDown() override {
    endpoint_.reset();
    socks_.reset();
    origin_.Stop();
  }

  HttpEndpointConfig Config() const {
    HttpEndpointConfig config;
    config.listen_port = 0;
    config.socks_port = socks_->Port();
    return config;
  }

  void StartEndpoint(const HttpEndpointConfig& config, bool ready = true) {
    endpoint_ = std::make_unique<HttpEndpoint>(config);
    ASSERT_EQ(endpoint_->Start(), "");
    endpoint_->SetReady(ready);
  }

  Browser NewBrowser() {
    Browser browser;
    EXPECT_TRUE(browser.conn.Open(endpoint_->Port()));
    return browser;
  }

  // One request on a connection of its own.
  std::optional<Reply> AskOnce(const std::string& request) {
    Browser browser = NewBrowser();
    return browser.Ask(request);
  }

  loopback::Origin origin_;
  std::unique_ptr<loopback::SocksServer> socks_;
  std::unique_ptr<HttpEndpoint> endpoint_;
};

TEST_F(HttpEndpointTest, ConnectTunnelsByNameAndPassesHalfClose) {
  StartEndpoint(Config());
  Browser browser = NewBrowser();
  // The first bytes for the site come right behind the CONNECT, as a
  // browser's TLS greeting may.
  ASSERT_TRUE(
      browser.conn.Send("CONNECT site.invalid:443 HTTP/1.1\r\nHost: site.invalid:443\r\n\r\n"
                        "GET /echo HTTP/1.1\r\nHost: site.invalid\r\nConnection: close\r\n\r\n"));
  auto established = browser.Read(/*head=*/true);
  ASSERT_TRUE(established);
  EXPECT_EQ(established->result_int(), 200u);
  browser.conn.ShutdownSend();
  auto inner = browser.Read();
  ASSERT_TRUE(inner);
  EXPECT_NE(inner->body().find("target=/echo"), std::string::npos);
  EXPECT_TRUE(browser.conn.ClosedWithin(kWaitMs)) << "the site's close comes through";

  const auto records = socks_->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].address_type, 3) << "the name goes to SOCKS unresolved";
  EXPECT_EQ(records[0].host, "site.invalid");
  EXPECT_EQ(records[0].port, 443);
  EXPECT_EQ(records[0].user, "site.invalid");
  EXPECT_FALSE(records[0].password.empty());

  // An address goes as an address.
  Browser by_address = NewBrowser();
  auto reply = by_address.Ask("CONNECT 192.0.2.7:8443 HTTP/1.1\r\n\r\n", true);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 200u);
  ASSERT_EQ(socks_->Records().size(), 2u);
  EXPECT_EQ(socks_->Records()[1].address_type, 1);
  EXPECT_EQ(socks_->Records()[1].host, "192.0.2.7");
}

TEST_F(HttpEndpointTest, ForwardsInOriginFormWithoutHopByHopFields) {
  StartEndpoint(Config());
  auto reply = AskOnce(
      "GET http://Site.Invalid:8080/echo?x=1#top HTTP/1.1\r\n"
      "Host: wrong.example\r\n"
      "Connection: keep-alive, X-Private\r\n"
      "X-Private: secret\r\n"
      "Keep-Alive: timeout=5\r\n"
      "Proxy-Connection: keep-alive\r\n"
      "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
      "TE: trailers\r\n"
      "Trailer: X-T\r\n"
      "Upgrade: websocket\r\n"
      "X-Kept: yes\r\n"
      "Accept: */*\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 200u);
  const auto heads = origin_.Heads();
  ASSERT_EQ(heads.size(), 1u);
  const std::string& head = heads[0];
  EXPECT_EQ(head.rfind("GET /echo?x=1 HTTP/1.1\r\nHost: site.invalid:8080\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("X-Kept: yes\r\n"), std::string::npos);
  EXPECT_NE(head.find("Accept: */*\r\n"), std::string::npos);
  for (const char* gone : {"wrong.example", "X-Private", "secret", "Keep-Alive", "Proxy-",
                           "TE:", "Trailer", "Upgrade", "Connection: keep-alive"}) {
    EXPECT_EQ(head.find(gone), std::string::npos) << gone << " reached the site:\n" << head;
  }
}

TEST_F(HttpEndpointTest, BodiesAndFramingsStreamOnOneKeptConnection) {
  StartEndpoint(Config());
  Browser browser = NewBrowser();

  auto posted = browser.Ask(
      "POST http://site.invalid/echo HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world");
  ASSERT_TRUE(posted);
  EXPECT_NE(posted->body().find("Content-Length: 11\r\n"), std::string::npos);
  EXPECT_NE(posted->body().find("body=11 " + std::to_string(loopback::Fnv("hello world"))),
            std::string::npos)
      << posted->body();

  // Chunks of odd sizes, an extension and a trailer: the site gets the same
  // bytes, chunked anew.
  auto chunked = browser.Ask(
      "POST http://site.invalid/echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "3;x=y\r\nabc\r\n1\r\nd\r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n");
  ASSERT_TRUE(chunked);
  EXPECT_NE(chunked->body().find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_NE(chunked->body().find("body=14 " + std::to_string(loopback::Fnv("abcd0123456789"))),
            std::string::npos)
      << chunked->body();

  auto from_chunked = browser.Ask("GET http://site.invalid/chunked HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(from_chunked);
  EXPECT_EQ(from_chunked->body(), "hello, world");
  EXPECT_EQ(Field(*from_chunked, "Transfer-Encoding"), "chunked");

  auto head = browser.Ask("HEAD http://site.invalid/head HTTP/1.1\r\n\r\n", /*head=*/true);
  ASSERT_TRUE(head);
  EXPECT_EQ(Field(*head, "Content-Length"), "1234") << "a HEAD answer keeps its length";

  auto empty = browser.Ask("GET http://site.invalid/204 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->result_int(), 204u);

  auto sized = browser.Ask("GET http://site.invalid/head HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(sized);
  EXPECT_EQ(sized->body(), std::string(1234, 'h'));

  // Ended by the site's close, it reaches the browser chunked, and the
  // browser's connection stays.
  auto until_close = browser.Ask("GET http://site.invalid/until-close HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(until_close);
  EXPECT_EQ(until_close->body(), "until the end");
  EXPECT_EQ(Field(*until_close, "Transfer-Encoding"), "chunked");
  auto after = browser.Ask("GET http://site.invalid/echo HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->result_int(), 200u);
  EXPECT_EQ(endpoint_->Stats().accepted, 1u) << "all on one browser connection";
}

TEST_F(HttpEndpointTest, OldBrowsersAndInterimAnswers) {
  StartEndpoint(Config());
  // An HTTP/1.0 browser cannot take chunks: the body ends with the close.
  Browser old = NewBrowser();
  auto reply = old.Ask("GET http://site.invalid/chunked HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body(), "hello, world");
  EXPECT_EQ(Field(*reply, "Transfer-Encoding"), "<none>");
  EXPECT_TRUE(old.conn.ClosedWithin(kWaitMs));

  // 100 Continue reaches the browser before it sends the body.
  Browser browser = NewBrowser();
  auto interim = browser.Ask(
      "POST http://site.invalid/continue HTTP/1.1\r\nExpect: 100-continue\r\n"
      "Content-Length: 4\r\n\r\n",
      /*head=*/true);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->result_int(), 100u);
  auto final_reply = browser.Ask("body");
  ASSERT_TRUE(final_reply);
  EXPECT_EQ(final_reply->result_int(), 200u);
  EXPECT_NE(final_reply->body().find("body=4 "), std::string::npos);
}

TEST_F(HttpEndpointTest, KeptAliveUpstreamIsReusedAndSitesAreIsolated) {
  StartEndpoint(Config());
  Browser browser = NewBrowser();
  for (const char* host :
       {"www.example.co.uk", "www.example.co.uk", "img.example.co.uk", "a.com", "b.com"}) {
    auto reply = browser.Ask("GET http://" + std::string(host) + "/echo HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(reply) << host;
    EXPECT_EQ(reply->result_int(), 200u) << host;
  }
  const auto records = socks_->Records();
  ASSERT_EQ(records.size(), 4u) << "the second request to a host reuses its connection";
  EXPECT_EQ(records[0].user, "example.co.uk");
  EXPECT_EQ(records[1].host, "img.example.co.uk");
  EXPECT_EQ(records[1].user, records[0].user) << "one site, one circuit family";
  EXPECT_EQ(records[1].password, records[0].password);
  EXPECT_EQ(records[2].user, "a.com");
  EXPECT_EQ(records[3].user, "b.com");

  // A parked connection the site closed meanwhile is replaced unseen.
  auto once = browser.Ask("GET http://c.com/once HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(once);
  EXPECT_EQ(once->body(), "once");
  auto again = browser.Ask("GET http://c.com/echo HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->result_int(), 200u);
}

TEST_F(HttpEndpointTest, NotReadyAnswers503AtOnceAndNothingLeaves) {
  StartEndpoint(Config(), /*ready=*/false);
  for (const std::string request :
       {"GET http://site.invalid/ HTTP/1.1\r\n\r\n", "CONNECT site.invalid:443 HTTP/1.1\r\n\r\n",
        "POST http://site.invalid/ HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde"}) {
    Browser browser = NewBrowser();
    auto reply = browser.Ask(request);
    ASSERT_TRUE(reply) << request;
    EXPECT_EQ(reply->result_int(), 503u);
    EXPECT_NE(Field(*reply, "Retry-After"), "<none>");
    EXPECT_NE(reply->body().find("start Nimbra"), std::string::npos);
    EXPECT_NE(reply->body().find("ProxyRevert"), std::string::npos);
    EXPECT_NE(reply->body().find("stopped unexpectedly"), std::string::npos);
  }
  EXPECT_EQ(socks_->Connections(), 0) << "not even a connection to the SOCKS port";

  endpoint_->SetReady(true);
  auto reply = AskOnce("GET http://site.invalid/echo HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 200u);
}

TEST_F(HttpEndpointTest, MalformedAndMisdirectedRequestsAreRefused) {
  StartEndpoint(Config());
  const std::string self = "127.0.0.1:" + std::to_string(endpoint_->Port());
  const std::string local = "localhost:" + std::to_string(endpoint_->Port());
  const std::vector<std::pair<std::string, unsigned>> cases = {
      {"GET / HTTP/1.1\r\nHost: site.invalid\r\n\r\n", 400},
      {"OPTIONS * HTTP/1.1\r\n\r\n", 400},
      {"GET http://" + self + "/ HTTP/1.1\r\n\r\n", 400},
      {"CONNECT " + local + " HTTP/1.1\r\n\r\n", 400},
      {"CONNECT site.invalid HTTP/1.1\r\n\r\n", 400},
      {"GET https://site.invalid/ HTTP/1.1\r\n\r\n", 400},
      {"GET http://user@site.invalid/ HTTP/1.1\r\n\r\n", 400},
      {"GARBAGE\r\n\r\n", 400},
      {"GET http://site.invalid/ HTTP/1.1\nHost: x\n\n", 400},
      {"GET http://site.invalid/ HTTP/2.0\r\n\r\n", 400},
      {"GET http://site.invalid/ HTTP/1.1\r\n: empty\r\n\r\n", 400},
      {"POST http://site.invalid/ HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc",
       400},
      {"POST http://site.invalid/ HTTP/1.1\r\nContent-Length: 3\r\n"
       "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       400},
      {"POST http://site.invalid/ HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nabc", 501},
      {"TRACE http://site.invalid/ HTTP/1.1\r\n\r\n", 501},
  };
  for (const auto& [request, status] : cases) {
    Browser browser = NewBrowser();
    auto reply = browser.Ask(request);
    ASSERT_TRUE(reply) << request;
    EXPECT_EQ(reply->result_int(), status) << request;
    EXPECT_EQ(Field(*reply, "Connection"), "close");
    EXPECT_TRUE(browser.conn.ClosedWithin(kWaitMs)) << request;
  }
  EXPECT_EQ(socks_->Connections(), 0);
}

TEST_F(HttpEndpointTest, OversizedHeadersAre431AndLongRequestLines414) {
  StartEndpoint(Config());
  std::string many = "GET http://site.invalid/ HTTP/1.1\r\n";
  while (many.size() < 70 * 1024) many += "X-Filler: " + std::string(100, 'f') + "\r\n";
  std::string one_huge =
      "GET http://site.invalid/ HTTP/1.1\r\nX-Big: " + std::string(65 * 1024, 'b') + "\r\n";
  // Never ends: the limit, not the end, must stop it.
  std::string endless_line = "GET http://site.invalid/" + std::string(9 * 1024, 'p');
  for (const auto& [request, status] : std::vector<std::pair<std::string, unsigned>>{
           {many + "\r\n", 431}, {one_huge, 431}, {endless_line, 414}}) {
    Browser browser = NewBrowser();
    auto reply = browser.Ask(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result_int(), status);
  }
  // Just under the limits passes.
  std::string fits = "GET http://site.invalid/echo HTTP/1.1\r\n";
  while (fits.size() < 60 * 1024) fits += "X-Filler: " + std::string(100, 'f') + "\r\n";
  auto reply = AskOnce(fits + "\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 200u);
}

TEST_F(HttpEndpointTest, SocksFailuresBecomeGatewayAnswers) {
  HttpEndpointConfig config = Config();
  // Long enough for a loaded machine's handshake, short for the silent one.
  config.connect_timeout = std::chrono::milliseconds(1000);
  StartEndpoint(config);
  const std::vector<std::pair<std::uint8_t, unsigned>> cases = {
      {1, 502}, {2, 502}, {3, 502}, {4, 502}, {5, 502}, {6, 504}, {0x7f, 502}};
  for (const auto& [code, status] : cases) {
    socks_->Fail(code);
    for (const char* request : {"GET http://site.invalid/ HTTP/1.1\r\n\r\n",
                                "CONNECT site.invalid:443 HTTP/1.1\r\n\r\n"}) {
      auto reply = AskOnce(request);
      ASSERT_TRUE(reply) << int(code);
      EXPECT_EQ(reply->result_int(), status) << int(code) << " " << request;
    }
  }

  // A SOCKS server that takes the request and never answers: a 504 once the
  // bound has passed, and the browser is not left hanging.
  socks_->Silent();
  auto silent = AskOnce("GET http://site.invalid/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(silent);
  EXPECT_EQ(silent->result_int(), 504u);

  // Nothing on the SOCKS port: the engine is gone, which the page explains.
  HttpEndpointConfig gone = Config();
  socks_.reset();
  HttpEndpoint endpoint(gone);
  ASSERT_EQ(endpoint.Start(), "");
  endpoint.SetReady(true);
  Browser browser;
  ASSERT_TRUE(browser.conn.Open(endpoint.Port()));
  auto reply = browser.Ask("GET http://site.invalid/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 503u);
  EXPECT_NE(reply->body().find("ProxyRevert"), std::string::npos);
}

TEST_F(HttpEndpointTest, HostileBrowsersAreTimedOutNotWaitedFor) {
  HttpEndpointConfig config = Config();
  config.header_timeout = std::chrono::milliseconds(600);
  config.idle_timeout = std::chrono::milliseconds(600);
  StartEndpoint(config);

  // A header that trickles in and never ends.
  Browser slow = NewBrowser();
  ASSERT_TRUE(slow.conn.Send("GET http://site.invalid/echo HTTP/1.1\r\nX-A: 1\r\n"));
  auto timed_out = slow.Read();
  ASSERT_TRUE(timed_out);
  EXPECT_EQ(timed_out->result_int(), 408u);
  EXPECT_TRUE(slow.conn.ClosedWithin(kWaitMs));

  // A body that stops short of its length.
  Browser short_body = NewBrowser();
  ASSERT_TRUE(short_body.conn.Send(
      "POST http://site.invalid/echo HTTP/1.1\r\nContent-Length: 1000\r\n\r\nonly this"));
  auto stalled = short_body.Read();
  ASSERT_TRUE(stalled);
  EXPECT_EQ(stalled->result_int(), 408u);
  EXPECT_TRUE(short_body.conn.ClosedWithin(kWaitMs));

  // A chunked body that never ends.
  Browser endless = NewBrowser();
  ASSERT_TRUE(
      endless.conn.Send("POST http://site.invalid/echo HTTP/1.1\r\nTransfer-Encoding: "
                        "chunked\r\n\r\n5\r\nabcde\r\n"));
  EXPECT_TRUE(endless.conn.ClosedWithin(kWaitMs));

  // A good request with garbage behind it: the first is answered, then the
  // garbage refused.
  Browser pipelined = NewBrowser();
  ASSERT_TRUE(
      pipelined.conn.Send("GET http://site.invalid/echo HTTP/1.1\r\n\r\n\x01\x02garbage \r\n\r\n"));
  auto first = pipelined.Read();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->result_int(), 200u);
  auto second = pipelined.Read();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->result_int(), 400u);
  EXPECT_TRUE(pipelined.conn.ClosedWithin(kWaitMs));

  // A site that never answers.
  auto silent = AskOnce("GET http://site.invalid/silent HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(silent);
  EXPECT_EQ(silent->result_int(), 504u);

  // A connection that says nothing is closed after the idle time.
  Browser quiet = NewBrowser();
  EXPECT_TRUE(quiet.conn.ClosedWithin(kWaitMs));
}

#ifdef _WIN32
// Wine's server keeps every socket of the prefix; fewer suffice there.
constexpr int kIdleFlood = 1000;
#else
constexpr int kIdleFlood = 2000;
#endif

TEST_F(HttpEndpointTest, IdleFloodDoesNotLockOutBrowsers) {
#ifndef _WIN32
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 3 * kIdleFlood && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 3 * kIdleFlood);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
#endif
  HttpEndpointConfig config = Config();  // the limit stays at its 512
  StartEndpoint(config);
  std::vector<Conn> idle(kIdleFlood);
  for (auto& conn : idle) ASSERT_TRUE(conn.Open(endpoint_->Port()));
  auto reply = AskOnce("GET http://site.invalid/echo HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result_int(), 200u);
  EXPECT_GT(endpoint_->Stats().evicted_idle, 0u) << "the oldest idle ones made room";
  EXPECT_LE(endpoint_->Stats().open_connections, config.max_connections + 1);
}

TEST_F(HttpEndpointTest, BusyAtTheLimitAnswers503) {
  HttpEndpointConfig config = Config();
  config.max_connections = 2;
  StartEndpoint(config);
  std::vector<Browser> tunnels;
  for (int i = 0; i < 2; ++i) {
    tunnels.push_back(NewBrowser());
    auto reply = tunnels.back().Ask("CONNECT site.invalid:443 HTTP/1.1\r\n\r\n", true);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result_int(), 200u);
  }
  Browser third = NewBrowser();
  auto busy = third.Read();
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->result_int(), 503u);
  EXPECT_EQ(endpoint_->Stats().refused_busy, 1u);
  tunnels.clear();
}

TEST_F(HttpEndpointTest, LargeTransfersStreamWithBoundedMemory) {
  StartEndpoint(Config());
  const std::uint64_t size = 100 * kMiB;
  origin_.SetBigSize(size);

  // Download: the browser reads a little, then stops; the site must come to
  // a stop too, long before it has sent everything.
  Browser browser = NewBrowser();
  browser.conn.SmallBuffers();
  ASSERT_TRUE(browser.conn.Send("GET http://big.invalid/big HTTP/1.1\r\n\r\n"));
  std::string& in = browser.pending;
  while (in.find("\r\n\r\n") == std::string::npos) {
    ASSERT_EQ(browser.conn.Receive(in, kWaitMs), Conn::Got::kData);
  }
  const std::size_t header_end = in.find("\r\n\r\n") + 4;
  EXPECT_NE(in.find("Content-Length: " + std::to_string(size)), std::string::npos);
  in.erase(0, header_end);
  std::uint64_t received = 0;
  std::uint64_t wrong = 0;
  auto take = [&] {
    for (char c : in) wrong += c != loopback::PatternByte(received++);
    in.clear();
  };
  while (received + in.size() < kMiB) {
    ASSERT_EQ(browser.conn.Receive(in, kWaitMs), Conn::Got::kData);
  }
  take();
  std::uint64_t sent = origin_.Sent();
  for (int still = 0, i = 0; still < 10 && i < 400; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t now = origin_.Sent();
    still = now == sent ? still + 1 : 0;
    sent = now;
  }
  EXPECT_LT(sent, size * 9 / 10) << "the site was not held back by the browser";
  while (received < size) {
    ASSERT_EQ(browser.conn.Receive(in, kWaitMs), Conn::Got::kData);
    take();
  }
  EXPECT_EQ(received, size);
  EXPECT_EQ(wrong, 0u);

  // Upload: the site reads nothing until released; the browser must be held
  // back likewise.
  Browser uploader = NewBrowser();
  uploader.conn.SmallBuffers();
  std::atomic<std::uint64_t> uploaded{0};
  std::uint64_t expected_hash = loopback::Fnv({});
  std::thread sender([&] {
    if (!uploader.conn.Send("POST http://big.invalid/held HTTP/1.1\r\nContent-Length: " +
                            std::to_string(size) + "\r\n\r\n")) {
      return;
    }
    std::string chunk;
    for (std::uint64_t offset = 0; offset < size; offset += chunk.size()) {
      chunk.resize(std::min<std::uint64_t>(64 * 1024, size - offset));
      for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = loopback::PatternByte(offset + i);
      expected_hash = loopback::Fnv(chunk, expected_hash);
      if (!uploader.conn.Send(chunk)) return;
      uploaded += chunk.size();
    }
  });
  std::uint64_t pushed = uploaded;
  for (int still = 0, i = 0; still < 10 && i < 400; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t now = uploaded;
    still = now == pushed ? still + 1 : 0;
    pushed = now;
  }
  EXPECT_LT(pushed, size * 9 / 10) << "the browser was not held back by the site";
  origin_.Release();
  sender.join();
  auto reply = uploader.Read();
  ASSERT_TRUE(reply);
  EXPECT_NE(
      reply->body().find("body=" + std::to_string(size) + " " + std::to_string(expected_hash)),
      std::string::npos);

  // The endpoint's own share: one block per direction at the most.
  const auto stats = endpoint_->Stats();
  EXPECT_LE(stats.peak_blocks_in_use, 2u);
  EXPECT_EQ(stats.blocks_in_use, 0u) << "nothing held while idle";
}

TEST_F(HttpEndpointTest, TakenPortIsReportedAndStopEndsEverything) {
  StartEndpoint(Config());
  HttpEndpointConfig same = Config();
  same.listen_port = endpoint_->Port();
  HttpEndpoint second(same);
  const std::string error = second.Start();
  EXPECT_NE(error.find(std::to_string(endpoint_->Port())), std::string::npos) << error;
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  EXPECT_FALSE(second.Running());

  Browser tunnel = NewBrowser();
  auto reply = tunnel.Ask("CONNECT site.invalid:443 HTTP/1.1\r\n\r\n", true);
  ASSERT_TRUE(reply);
  Browser idle = NewBrowser();
  endpoint_->Stop();
  EXPECT_FALSE(endpoint_->Running());
  EXPECT_TRUE(tunnel.conn.ClosedWithin(kWaitMs));
  EXPECT_TRUE(idle.conn.ClosedWithin(kWaitMs));
  EXPECT_EQ(endpoint_->Stats().open_connections, 0u);

  // And it starts again.
  ASSERT_EQ(endpoint_->Start(), "");
  auto again = AskOnce("GET http://site.invalid/echo HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->result_int(), 200u);
}

}  // namespace
