// The real engine library (Tor linked in) hosted by TTorThread with the
// network off, and the check that lets a real engine start in the tests only
// on settings that keep it on this machine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"

namespace {

using engine_test::LogEntries;
using engine_test::SettingsStayOnLoopback;
using engine_test::WaitUntil;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const char kDelim[] = {platform::kPathDelim, '\0'};

std::string EngineLibrary() {
#ifdef NIMBRA_TORENGINE_DLL
  return engine_test::BuildPath(NIMBRA_TORENGINE_DLL);
#else
  return "";  // not built: the tests that need it fail on the missing file
#endif
}

bool StaysLocal(const std::string& text) {
  std::string why;
  return SettingsStayOnLoopback(text, why);
}

TEST(EngineSettingsCheck, TheNetworkOffOrOnlyLoopbackAuthorities) {
  EXPECT_TRUE(StaysLocal("SocksPort 35491\r\nDisableNetwork 1\r\n"));
  EXPECT_TRUE(StaysLocal("disablenetwork 1\n"));
  EXPECT_TRUE(StaysLocal(
      "TestingTorNetwork 1\n"
      "DirAuthority auth1 orport=5011 no-v2 v3ident=7CFD 127.0.0.11:7011 1C52 1FFD\n"
      "DirAuthority auth2 orport=5012 ipv6=[::1]:5012 v3ident=85A7 127.0.0.12:7012 2FFE\n"));
  // The last value counts, as for the engine.
  EXPECT_TRUE(StaysLocal("DisableNetwork 0\nDisableNetwork 1\n"));
}

TEST(EngineSettingsCheck, AnythingThatMayLeaveTheMachineIsRefused) {
  std::string why;
  // The host's own first-time settings go to the public network.
  EXPECT_FALSE(SettingsStayOnLoopback(EngineSettingsText("/tmp/engine/"), why));
  EXPECT_THAT(why, HasSubstr("DisableNetwork 1"));
  EXPECT_FALSE(StaysLocal("DisableNetwork 1\nDisableNetwork 0\n"));
  EXPECT_FALSE(StaysLocal("DisableNetwork true\n"));
  EXPECT_FALSE(StaysLocal("# DisableNetwork 1\n"));
  EXPECT_FALSE(StaysLocal("TestingTorNetwork 1\n"));

  const std::string local = "DirAuthority a orport=1 v3ident=AB 127.0.0.11:7011 CD\n";
  EXPECT_FALSE(StaysLocal(local + "DirAuthority b orport=1 v3ident=AB 128.0.0.1:7011 CD\n"));
  EXPECT_FALSE(StaysLocal(local + "DirAuthority b orport=1 v3ident=AB 127.0.0:7011 CD\n"));
  EXPECT_FALSE(StaysLocal(local + "DirAuthority b orport=1 v3ident=AB 1270.0.0.1:7011 CD\n"));
  EXPECT_FALSE(StaysLocal(local + "DirAuthority b ipv6=[2001:db8::1]:1 127.0.0.12:7012 CD\n"));
  EXPECT_FALSE(StaysLocal(local + "DirAuthority b orport=1 v3ident=AB CD\n"));
  for (const char* leaving :
       {"FallbackDir 192.0.2.1:80 orport=9001 id=AB", "UseBridges 1", "Bridge 192.0.2.1:443",
        "Socks5Proxy 192.0.2.1:1080", "HTTPSProxy 192.0.2.1:3128", "%include /etc/tor/more",
        "AlternateDirAuthority x 192.0.2.1:80 AB"}) {
    EXPECT_FALSE(StaysLocal(local + leaving + "\n")) << leaving;
    EXPECT_FALSE(StaysLocal(std::string("DisableNetwork 1\n") + leaving + "\n")) << leaving;
  }
  // A continued line could hide anything.
  EXPECT_FALSE(StaysLocal(local + "DisableNetwork \\\n0\n"));
}

class RealEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    folder_ = system_.Root() / "engine" + kDelim;
    ASSERT_TRUE(platform::ForceDirectories(folder_));
    // Written before the host starts, which then leaves it as it is.
    test_support::WriteFileForTest(
        folder_ + "anon_settings",
        engine_test::SettingsWithoutCookie(folder_) + "DisableNetwork 1\r\n");
  }

  void TearDown() override {
    // Whatever failed above, no engine may outlive the test.
    engine_test::HaltAnyEngineAndWait();
    InitLog(false);
  }

  test_support::IsolatedSystem system_;
  std::string folder_;
};

TEST_F(RealEngineTest, AnswersTheControllerWithTheNetworkOff) {
  ASSERT_TRUE(engine_test::InstallRealEngine(EngineLibrary(), folder_));
  const std::string settings = test_support::ReadFileOrMissing(folder_ + "anon_settings");
  auto control = std::make_unique<TTorControl>(folder_);
  ASSERT_TRUE(WaitUntil(engine_test::ControlPortOpen, 60000));
  // The port opens while the engine reads its settings; it answers once
  // its main loop runs.
  std::string reply;
  EXPECT_TRUE(WaitUntil(
      [&] { return (reply = engine_test::RawControl({"AUTHENTICATE"}, 2000)) != ""; }, 30000));
  EXPECT_EQ(reply, "250 OK\r\n");

  engine_test::ClearLog();  // refused polls while the engine opened its port
  control->StartTor();
  const int progress = control->GetProgressStatus();
  // Off the network the engine stays at its first phases; what matters is
  // that its reply was read as a number without a word in the log.
  EXPECT_GE(progress, 0);
  EXPECT_LT(progress, 100);
  EXPECT_TRUE(control->SendNewNym());
  EXPECT_THAT(LogEntries(), IsEmpty());
  EXPECT_EQ(test_support::ReadFileOrMissing(folder_ + "anon_settings"), settings);
  // The engine keeps its data and its warnings log where the settings say.
  EXPECT_TRUE(platform::FileExists(folder_ + "anon.dll.log"));
  EXPECT_TRUE(platform::FileExists(folder_ + "cache" + kDelim + "lock"));

  // Told to halt, the engine ends inside dll_start, and so do the host
  // thread and the library.
  control.reset();
  EXPECT_NE(engine_test::RawControl({"AUTHENTICATE", "SIGNAL HALT"}), "");
  EXPECT_TRUE(engine_test::WaitForHostThreads(30000));
  EXPECT_FALSE(engine_test::ControlPortOpen());
  EXPECT_THAT(LogEntries(), IsEmpty()) << "the library was released without a word";
}

TEST_F(RealEngineTest, NeverStartedOnSettingsThatLeaveTheMachine) {
  // The host's own settings, as it writes them on a first start.
  test_support::WriteFileForTest(folder_ + "anon_settings", EngineSettingsText(folder_));
  EXPECT_FALSE(engine_test::InstallRealEngine(EngineLibrary(), folder_));
  EXPECT_FALSE(platform::FileExists(folder_ + "anon.dll"));

  // So the host finds no engine to start, and none answers.
  auto control = std::make_unique<TTorControl>(folder_);
  EXPECT_TRUE(engine_test::WaitForHostThreads(30000));
  EXPECT_FALSE(engine_test::ControlPortOpen());
  EXPECT_FALSE(platform::FileExists(folder_ + "anon.dll.log"));
}

}  // namespace
