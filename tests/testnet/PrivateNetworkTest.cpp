// The real engine library in a private onion network on loopback
// (tools/testnet, started by run-in-testnet.sh, which hands its folder over
// in NIMBRA_TESTNET_DIR): hosted by TTorThread on settings naming the
// network's authorities, the engine bootstraps to 100 percent, and a request
// through its SOCKS port reaches a local HTTP server (on the network's
// service address) from an exit relay's address, and after new identities
// from another.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "base/AppFolders.h"
#include "base/Endpoints.h"
#include "base/Logger.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

const char kDelim[] = {platform::kPathDelim, '\0'};

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Answers every GET with the address the connection came from.
class AddressEchoServer {
 public:
  explicit AddressEchoServer(const std::string& address) {
    EXPECT_EQ(listener_.Listen(address, 0), 0u) << address;
    thread_ = std::thread([this] { Serve(); });
  }
  ~AddressEchoServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }

 private:
  void Serve() {
    while (!stop_) {
      platform::TcpSocket peer;
      if (listener_.Accept(peer, 200) != 0) continue;
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const std::size_t before = request.size();
        if (peer.Receive(request, 4096, 10000) != 0 || request.size() == before) break;
      }
      const std::string body = peer.PeerAddress();
      peer.SendAll("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
      peer.ShutdownSend();
    }
  }

  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Receives until `out` holds `size` bytes; false when the peer stops first.
bool ReceiveBytes(platform::TcpSocket& socket, std::string& out, std::size_t size) {
  while (out.size() < size) {
    const std::size_t before = out.size();
    if (socket.Receive(out, size - out.size(), 30000) != 0 || out.size() == before) return false;
  }
  return true;
}

// GET / from `address`:`port` through the engine's SOCKS port (SOCKS 5, no
// authentication); the response's body, or a text saying what failed.
std::string FetchThroughEngine(const std::string& address, std::uint16_t port) {
  platform::TcpSocket socket;
  if (socket.Connect(endpoints::kLoopbackHost, endpoints::kEngineSocksPort, 5000) != 0)
    return "(no SOCKS port)";
  std::string reply;
  if (socket.SendAll(std::string("\x05\x01\x00", 3)) != 0 || !ReceiveBytes(socket, reply, 2) ||
      reply != std::string("\x05\x00", 2)) {
    return "(SOCKS greeting refused)";
  }
  std::string connect("\x05\x01\x00\x01", 4);
  std::istringstream parts(address);
  for (std::string part; std::getline(parts, part, '.');) {
    connect += static_cast<char>(std::atoi(part.c_str()));
  }
  connect += std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
  reply.clear();
  if (socket.SendAll(connect) != 0 || !ReceiveBytes(socket, reply, 10) || reply[1] != 0) {
    return "(SOCKS connect failed: " + std::to_string(reply.size() > 1 ? reply[1] : -1) + ")";
  }
  if (socket.SendAll("GET / HTTP/1.0\r\nHost: " + address + "\r\n\r\n") != 0) {
    return "(send failed)";
  }
  std::string response;
  for (;;) {
    const std::size_t before = response.size();
    if (socket.Receive(response, 4096, 30000) != 0 || response.size() == before) break;
  }
  const std::size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "(no response)" : response.substr(body + 4);
}

class PrivateNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unix_dir = platform::EnvironmentValue("NIMBRA_TESTNET_DIR");
    ASSERT_FALSE(unix_dir.empty()) << "run by tests/testnet/run-in-testnet.sh";
    network_ = platform::IncludeTrailingDelimiter(platform::PathFromUnixPath(unix_dir));
    const auto client = platform::ReadWholeFile(network_ + "client-settings");
    ASSERT_TRUE(client.has_value()) << network_;
    std::istringstream exits(platform::ReadWholeFile(network_ + "exit-addresses").value_or(""));
    for (std::string address; exits >> address;) exits_.insert(address);
    ASSERT_GE(exits_.size(), 2u);
    std::istringstream service(platform::ReadWholeFile(network_ + "service-address").value_or(""));
    ASSERT_TRUE(service >> service_);

    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    folder_ = system_.Root() / "engine" + kDelim;
    ASSERT_TRUE(platform::ForceDirectories(folder_));
    // The host's five lines, in this system's paths (the engine runs in
    // this process), and the network's authorities.
    test_support::WriteFileForTest(folder_ + "anon_settings",
                                   engine_test::SettingsWithoutCookie(folder_) + *client);
#ifdef NIMBRA_TORENGINE_DLL
    ASSERT_TRUE(
        engine_test::InstallRealEngine(engine_test::BuildPath(NIMBRA_TORENGINE_DLL), folder_));
#else
    FAIL() << "the real engine library was not built";
#endif
  }

  void TearDown() override {
    // Whatever failed above, no engine may outlive the test.
    engine_test::HaltAnyEngineAndWait();
    InitLog(false);
  }

  test_support::IsolatedSystem system_;
  std::string network_;
  std::set<std::string> exits_;
  std::string service_;
  std::string folder_;
};

TEST_F(PrivateNetworkTest, BootstrapsAndChangesExitsOnNewIdentity) {
  AddressEchoServer server(service_);
  auto control = std::make_unique<TTorControl>(folder_);
  control->StartTor();
  int progress = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  while ((progress = control->GetProgressStatus()) < 100 &&
         std::chrono::steady_clock::now() < give_up) {
    Sleep(1000);
  }
  ASSERT_EQ(progress, 100) << test_support::ReadFileOrMissing(folder_ + "anon.dll.log");
  EXPECT_TRUE(platform::FileExists(folder_ + "anon.dll.log"));

  engine_test::ClearLog();  // refused polls while the engine opened its port
  // The first stream may meet a circuit that fails on the way; the engine
  // builds another.
  std::string first = FetchThroughEngine(service_, server.Port());
  for (int attempt = 0; attempt < 5 && exits_.count(first) == 0; ++attempt) {
    Sleep(2000);
    first = FetchThroughEngine(service_, server.Port());
  }
  ASSERT_THAT(exits_, Contains(first));

  // A new identity drops the circuits in use; the next request goes out on
  // a fresh one, sooner or later through another exit. The engine carries
  // out at most one new identity every ten seconds.
  std::string other = first;
  for (int attempt = 0; attempt < 12 && other == first; ++attempt) {
    Sleep(10500);
    ASSERT_TRUE(control->SendNewNym());
    other = FetchThroughEngine(service_, server.Port());
    // A fresh circuit may fail on the way, as the first one may.
    for (int retry = 0; retry < 3 && exits_.count(other) == 0; ++retry) {
      Sleep(2000);
      other = FetchThroughEngine(service_, server.Port());
    }
    EXPECT_THAT(exits_, Contains(other));
  }
  EXPECT_NE(other, first) << "every fresh circuit left through " << first;
  EXPECT_THAT(engine_test::LogEntries(), IsEmpty());

  control.reset();
  EXPECT_NE(engine_test::RawControl({"AUTHENTICATE", "SIGNAL HALT"}), "");
  EXPECT_TRUE(engine_test::WaitForHostThreads(30000));
}

}  // namespace
