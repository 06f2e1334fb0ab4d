#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/RefreshIPThread.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "platform/Registry.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/TestSupport.h"

namespace {

constexpr int kGenerousMs = 60000;

bool PumpUntilDone(const std::function<bool()>& done) {
  return test_support::PumpUntil(done, kGenerousMs);
}
const char kPath[] = "/scripts/whatismyip.php";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An HTTP server on 127.0.0.1 that answers the n-th connection with the n-th
// body (the last one again after that) and closes it; a trickling one sends
// its body a byte every 100 ms, for ever.
class LocalHttpServer {
 public:
  explicit LocalHttpServer(std::vector<std::string> bodies, bool trickle = false)
      : bodies_(std::move(bodies)), trickle_(trickle) {
    EXPECT_EQ(listener_.Listen("127.0.0.1", 0), 0u);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LocalHttpServer() {
    stop_ = true;
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(listener_.Port()) + kPath; }
  std::uint16_t Port() const { return listener_.Port(); }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    std::size_t served = 0;
    while (!stop_) {
      platform::TcpSocket peer;
      if (listener_.Accept(peer, 50) != 0) continue;
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        const std::size_t before = request.size();
        if (peer.Receive(request, 4096, 10000) != 0 || request.size() == before) break;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const std::string& body = bodies_[std::min(served++, bodies_.size() - 1)];
      if (trickle_) {
        peer.SendAll("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (!stop_ && peer.SendAll("7") == 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        continue;
      }
      peer.SendAll("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
      peer.ShutdownSend();
    }
  }

  std::vector<std::string> bodies_;
  bool trickle_ = false;
  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on.
std::uint16_t ClosedPort() {
  platform::TcpListener listener;
  EXPECT_EQ(listener.Listen("127.0.0.1", 0), 0u);
  return listener.Port();
}

// The Internet Settings of the current user, put back as they were.
class InternetSettings {
 public:
  static constexpr char kKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  InternetSettings() {
    EXPECT_EQ(
        key_.Create(platform::RegRoot::CurrentUser, kKey, platform::kKeyRead | platform::kKeyWrite),
        0u);
    for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride"}) {
      platform::RegValue value;
      if (key_.Query(name, value) == 0) saved_.push_back({name, value});
    }
  }
  ~InternetSettings() {
    key_.DeleteValue("ProxyEnable");
    key_.DeleteValue("ProxyServer");
    key_.DeleteValue("ProxyOverride");
    for (const auto& [name, value] : saved_) {
      if (value.type == platform::RegType::DWord) {
        key_.SetDWord(name, value.dword);
      } else {
        key_.SetString(name, value.text, value.type);
      }
    }
  }
  void Set(std::uint32_t enable, const std::string& server, const std::string& bypass = "") {
    EXPECT_EQ(key_.SetDWord("ProxyEnable", enable), 0u);
    EXPECT_EQ(key_.SetString("ProxyServer", server), 0u);
    EXPECT_EQ(key_.SetString("ProxyOverride", bypass), 0u);
  }

 private:
  platform::RegKey key_;
  std::vector<std::pair<std::string, platform::RegValue>> saved_;
};

class RefreshIPThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    // Direct connections, whatever the shared Wine prefix held before.
    settings_.Set(0, "");
  }
  void TearDown() override {
    EXPECT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));
    InitLog(false);
  }
  // Starts a lookup whose reports land in found_.
  void StartLookup() {
    new TRefreshIPThread(
        [this](const std::string& ip) {
          found_.push_back(ip);
          found_on_.push_back(std::this_thread::get_id());
        },
        lookup_);
  }
  bool NothingLogged() const {
    return test_support::ReadFileOrMissing(LogFileName()) == "<missing>";
  }

  test_support::IsolatedSystem system_;
  InternetSettings settings_;
  std::vector<std::string> found_;
  std::vector<std::thread::id> found_on_;
  TIPLookupSettings lookup_;
};

TEST_F(RefreshIPThreadTest, AddressAndLineEndYieldTheAddressOnTheWindowThread) {
  LocalHttpServer server({"203.0.113.7\r\n"});
  lookup_ = {50, server.Url()};
  StartLookup();
  ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));

  ASSERT_EQ(found_.size(), 1u);
  EXPECT_EQ(found_[0], "203.0.113.7");
  EXPECT_EQ(found_on_[0], std::this_thread::get_id());
  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind(std::string("GET ") + kPath + " HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("User-Agent: Nimbra\r\n"), std::string::npos) << requests[0];
  EXPECT_NE(Lower(requests[0]).find("no-cache"), std::string::npos) << requests[0];
  EXPECT_TRUE(NothingLogged());
}

TEST_F(RefreshIPThreadTest, BodyIsReadInSeparatelyTrimmedChunks) {
  const std::string chunk1 = "  10.1." + std::string(118, 'a') + "   ";
  const std::string chunk2 = "\r\n" + std::string(120, 'b') + " \t\r\n  ";
  const std::string chunk3 = std::string("c\0ignored\r\n", 11);
  ASSERT_EQ(chunk1.size(), 128u);
  ASSERT_EQ(chunk2.size(), 128u);
  LocalHttpServer server({chunk1 + chunk2 + chunk3, std::string(kMaxIPLookupReply + 1, '7')});

  EXPECT_EQ(FetchUrlText(server.Url()),
            "10.1." + std::string(118, 'a') + std::string(120, 'b') + "c");
  // A reply far longer than any address is refused, not piled up.
  EXPECT_THROW(FetchUrlText(server.Url()), EIPLookupError);
}

TEST_F(RefreshIPThreadTest, NothingListeningOrBlankBodyReportsNothingAndLogsNothing) {
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + kPath;
  try {
    FetchUrlText(closed);
    ADD_FAILURE() << "no error";
  } catch (const EIPLookupError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot open URL " + closed);
  }
  lookup_ = {0, closed};
  StartLookup();
  ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));

  LocalHttpServer blank({" \r\n\t \r\n"});
  lookup_ = {0, blank.Url()};
  StartLookup();
  ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));
  EXPECT_EQ(blank.Requests().size(), 1u);

  EXPECT_TRUE(found_.empty());
  EXPECT_TRUE(NothingLogged());
}

TEST_F(RefreshIPThreadTest, TwoLookupsStartedTogetherBothReport) {
  LocalHttpServer server({"198.51.100.1\r\n", "198.51.100.2\r\n"});
  lookup_ = {200, server.Url()};
  StartLookup();
  // The other way of wiring the handler: right after construction, while the
  // thread is still waiting.
  auto* second = new TRefreshIPThread({}, lookup_);
  second->SetOnIPFound([this](const std::string& ip) { found_.push_back(ip); });
  ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));

  std::sort(found_.begin(), found_.end());
  EXPECT_EQ(found_, (std::vector<std::string>{"198.51.100.1", "198.51.100.2"}));
}

TEST_F(RefreshIPThreadTest, RequestGoesThroughTheProxyTheInternetSettingsName) {
  InternetSettings& settings = settings_;
  LocalHttpServer proxy({"192.0.2.55\r\n"});
  // Nothing listens at the address itself: only the proxy can answer.
  const std::string url = "http://127.0.0.2:" + std::to_string(ClosedPort()) + kPath;
  const std::string proxy_address = "127.0.0.1:" + std::to_string(proxy.Port());

  settings.Set(1, proxy_address);
  EXPECT_EQ(FetchUrlText(url), "192.0.2.55");
  settings.Set(1, "ftp=127.0.0.1:1;http=" + proxy_address);
  EXPECT_EQ(FetchUrlText(url), "192.0.2.55");
  const std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const std::string& request : requests) {
    EXPECT_EQ(request.rfind("GET " + url + " HTTP/1.1\r\n", 0), 0u) << request;
  }

  // Switched off, or the host on the bypass list, the request goes straight
  // to the address.
  settings.Set(0, proxy_address);
  EXPECT_THROW(FetchUrlText(url), EIPLookupError);
  settings.Set(1, proxy_address, "127.0.0.2");
  EXPECT_THROW(FetchUrlText(url), EIPLookupError);
#ifndef _WIN32
  // Wine's WinINet matches whole host names only; the stand-in also takes
  // wildcards, as the system's own does.
  settings.Set(1, proxy_address, "<local>;127.0.*.2");
  EXPECT_THROW(FetchUrlText(url), EIPLookupError);
#endif
  EXPECT_EQ(proxy.Requests().size(), 2u);
}

TEST(AddressFormTest, OnlyWellFormedAddressesPass) {
  for (const char* good : {"203.0.113.7", "0.0.0.0", "255.255.255.255", "2001:db8::1", "::1", "::",
                           "fe80::1:2:3:4", "2001:db8:0:0:0:0:2:1", "::ffff:192.0.2.128",
                           "2001:DB8::A"}) {
    EXPECT_TRUE(IsWellFormedAddress(good)) << good;
  }
  const std::string reversed = "\xE2\x80\xAE" "7.311.0.302";  // U+202E before it
  for (const std::string& bad :
       {std::string(""), std::string("<html><body>203.0.113.7</body></html>"),
        std::string("203.0.113.7\r\n2026-01-01 forged: line"), reversed,
        std::string("256.1.1.1"), std::string("1.2.3"), std::string("1.2.3.4.5"),
        std::string("01.2.3.4"), std::string("1.2.3.4 "), std::string("1..3.4"),
        std::string("2001:db8:::1"), std::string("1::2::3"), std::string("12345::"),
        std::string("1:2:3:4:5:6:7:8:9"), std::string("fe80::1%eth0"), std::string(60000, '1'),
        std::string("203.0.113.7\0", 12)}) {
    EXPECT_FALSE(IsWellFormedAddress(bad)) << bad.substr(0, 40);
  }
  std::string binary;
  for (int i = 0; i < 1024; ++i) binary += static_cast<char>(i * 37);
  EXPECT_FALSE(IsWellFormedAddress(binary));
}

TEST_F(RefreshIPThreadTest, AReplyThatIsNotAnAddressIsLoggedEscapedAndNotReported) {
  const std::string reversed = "\xE2\x80\xAE" "7.311.0.302";
  LocalHttpServer server({"<html>You are 203.0.113.7</html>", reversed,
                          "198.51.100.7\x01\r\n2026 TRefreshIPThread.Execute: forged",
                          std::string(60000, '9')});
  lookup_ = {0, server.Url()};
  for (int i = 0; i < 4; ++i) {
    StartLookup();
    ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }));
  }
  EXPECT_TRUE(found_.empty());
  const std::string log = test_support::ReadFileOrMissing(LogFileName());
  EXPECT_NE(log.find("Refused a reply that is not an address (32 bytes): \"<html>You are "
                     "203.0.113.7</html>\""),
            std::string::npos)
      << log;
#ifdef _WIN32
  // The reply is ANSI text: under Windows-1252 (Wine's in an English or C
  // locale) its three bytes are the characters U+00E2 U+20AC U+00AE.
  const std::string escaped = "\"\\xC3\\xA2\\xE2\\x82\\xAC\\xC2\\xAE7.311.0.302\"";
#else
  const std::string escaped = "\"\\xE2\\x80\\xAE7.311.0.302\"";
#endif
  EXPECT_NE(log.find(escaped), std::string::npos) << log;
  EXPECT_EQ(log.find("\xE2\x80\xAE"), std::string::npos) << "no raw override in the log";
  EXPECT_EQ(log.find("\n2026 TRefreshIPThread"), std::string::npos) << "no forged line";
  EXPECT_LT(log.size(), 2000u) << "a long reply is cut in the log";
}

TEST_F(RefreshIPThreadTest, ATricklingServerCannotHoldTheLookup) {
  LocalHttpServer trickle({""}, true);
  EXPECT_THROW(FetchUrlText(trickle.Url(), 1500), EIPLookupError);
  lookup_ = {0, trickle.Url(), 1500};
  StartLookup();
  ASSERT_TRUE(PumpUntilDone([] { return RunningIPLookups() == 0; }))
      << "the lookup ends at its time limit";
  EXPECT_TRUE(found_.empty());
}

TEST_F(RefreshIPThreadTest, AFloodOfRequestsRunsOneLookupAtATime) {
  LocalHttpServer server({"192.0.2.1\r\n", "192.0.2.2\r\n"});
  TAddressLookups lookups({300, server.Url()});
  std::vector<std::string> reports;
  int most = 0;
  for (int i = 0; i < 3000; ++i) {
    lookups.Request([&reports, i](const std::string& ip) {
      reports.push_back(std::to_string(i) + " " + ip);
    });
    most = std::max(most, RunningIPLookups());
  }
  ASSERT_TRUE(PumpUntilDone([&] {
    most = std::max(most, RunningIPLookups());
    return reports.size() == 2 && RunningIPLookups() == 0;
  }));
  EXPECT_EQ(most, 1);
  EXPECT_EQ(server.Requests().size(), 2u) << "the first, then one for all that came meanwhile";
  EXPECT_EQ(reports, (std::vector<std::string>{"0 192.0.2.1", "2999 192.0.2.2"}));
}

}  // namespace
