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
#include "testnet/NetworkHelpers.h"

namespace {

using engine_test::AddressEchoServer;
using engine_test::FetchThroughEngine;
using engine_test::Sleep;
using ::testing::Contains;
using ::testing::IsEmpty;

const char kDelim[] = {platform::kPathDelim, '\0'};

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
