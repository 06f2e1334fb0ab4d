// Nimbra's engine behind a censor in the private onion network (run by
// censored-engine.sh, which starts the network with its obfs4 bridge, turns
// the censor on and runs each case as the censored client):
//  - without bridges the real engine never gets ready, and the control
//    client reads the engine's report of the problem;
//  - with the bridge's line stored through Nimbra's bridge settings, the
//    host writes the defaults file before the engine loads, the engine gets
//    ready through the bridge and a request reaches the service from an
//    exit (the script runs that service outside the censor). The script checks the censor's
//    counters after each case.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "engine/BridgeSettings.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"
#include "testnet/NetworkHelpers.h"

namespace {

using engine_test::FetchThroughEngine;
using engine_test::Sleep;
using ::testing::Contains;
using ::testing::HasSubstr;

const char kDelim[] = {platform::kPathDelim, '\0'};

int Seconds(const char* variable, int fallback) {
  const std::string text = platform::EnvironmentValue(variable);
  return text.empty() ? fallback : std::atoi(text.c_str());
}

class CensoredEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unix_dir = platform::EnvironmentValue("NIMBRA_TESTNET_DIR");
    ASSERT_FALSE(unix_dir.empty()) << "run by tests/testnet/censored-engine.sh";
    network_ = platform::IncludeTrailingDelimiter(unix_dir);
    const auto client = platform::ReadWholeFile(network_ + "client-settings");
    ASSERT_TRUE(client.has_value()) << network_;
    std::istringstream exits(platform::ReadWholeFile(network_ + "exit-addresses").value_or(""));
    for (std::string address; exits >> address;) exits_.insert(address);
    std::istringstream service(platform::ReadWholeFile(network_ + "service-address").value_or(""));
    ASSERT_TRUE(service >> service_);

    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    options_ = DataFolder() + "options.ini";
    folder_ = system_.Root() / "engine" + kDelim;
    ASSERT_TRUE(platform::ForceDirectories(folder_));
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
    engine_test::HaltAnyEngineAndWait();
    InitLog(false);
  }

  test_support::IsolatedSystem system_;
  std::string network_;
  std::set<std::string> exits_;
  std::string service_;
  std::string options_;
  std::string folder_;
};

TEST_F(CensoredEngineTest, WithoutBridgesNeverReadyAndTheProblemIsReported) {
  const TBridgeSettings bridges = LoadBridgeSettings(options_);  // none stored: off
  ASSERT_FALSE(bridges.Enabled);
  auto control = std::make_unique<TTorControl>(folder_, bridges);
  control->StartTor();
  TBootstrapPhase problem;
  int progress = 0;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::seconds(Seconds("NIMBRA_CENSORED_SECONDS", 60));
  while (std::chrono::steady_clock::now() < end) {
    progress = control->GetProgressStatus();
    ASSERT_LT(progress, 100) << "ready through the censor";
    if (control->LastBootstrapPhase().IsProblem()) problem = control->LastBootstrapPhase();
    Sleep(2000);
  }
  EXPECT_EQ(platform::ReadWholeFile(folder_ + kBridgeDefaultsFileName).value_or("<missing>"), "");
  ASSERT_TRUE(problem.IsProblem()) << "no problem reported; last progress " << progress;
  std::printf("last progress %d; the engine's problem: %s (%s)\n", progress,
              problem.ProblemText().c_str(), problem.Summary.c_str());
  EXPECT_THAT(engine_test::LogEntries(),
              Contains(HasSubstr("TTorControl.GetProgressStatus: Bootstrap problem: ")));
}

TEST_F(CensoredEngineTest, ThroughTheBridgeFromTheFirstConnection) {
  const std::string line = platform::EnvironmentValue("NIMBRA_BRIDGE_LINE");
  const std::string transport = platform::EnvironmentValue("NIMBRA_OBFS4PROXY");
  ASSERT_FALSE(line.empty());
  // The transport program beside the engine library, as an installation has it.
  const auto program = platform::ReadWholeFile(transport);
  ASSERT_TRUE(program.has_value()) << transport;
  ASSERT_TRUE(platform::WriteNewFile(folder_ + "obfs4proxy", *program));
  ASSERT_EQ(system(("chmod 755 '" + folder_ + "obfs4proxy'").c_str()), 0);

  // As the options page stores it; the host reads it back before the engine.
  const TBridgeCheck check = SaveBridgeSettings(true, TBridgeSource::Custom, line, options_);
  ASSERT_TRUE(check.Ok()) << check.Message();
  const TBridgeSettings bridges = LoadBridgeSettings(options_);
  ASSERT_EQ(bridges.CustomLines.size(), 1u);

  // The service runs outside the censor (the script starts it): the censor
  // would drop its answers to the exit as the client's own packets.
  const int service_port = std::atoi(platform::EnvironmentValue("NIMBRA_SERVICE_PORT").c_str());
  ASSERT_GT(service_port, 0);
  auto control = std::make_unique<TTorControl>(folder_, bridges);
  control->StartTor();
  int progress = 0;
  const auto started = std::chrono::steady_clock::now();
  const auto give_up = started + std::chrono::seconds(Seconds("NIMBRA_BRIDGE_SECONDS", 180));
  while ((progress = control->GetProgressStatus()) < 100 &&
         std::chrono::steady_clock::now() < give_up) {
    Sleep(1000);
  }
  const std::string defaults =
      platform::ReadWholeFile(folder_ + kBridgeDefaultsFileName).value_or("<missing>");
  EXPECT_EQ(defaults, "UseBridges 1\r\nClientTransportPlugin obfs4 exec " + folder_ +
                          "obfs4proxy\r\nBridge " + bridges.CustomLines[0].Text() + "\r\n");
  ASSERT_EQ(progress, 100) << test_support::ReadFileOrMissing(folder_ + "anon.dll.log");
  std::printf("ready through the bridge in %lld s\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::steady_clock::now() - started)
                                         .count()));

  std::string seen = FetchThroughEngine(service_, static_cast<std::uint16_t>(service_port));
  for (int attempt = 0; attempt < 5 && exits_.count(seen) == 0; ++attempt) {
    Sleep(2000);
    seen = FetchThroughEngine(service_, static_cast<std::uint16_t>(service_port));
  }
  ASSERT_THAT(exits_, Contains(seen));
  std::printf("the service saw the request from exit %s\n", seen.c_str());
}

}  // namespace
