// The control client against the real engine program, run through the
// launcher library on a settings file that keeps it off the network
// ("DisableNetwork 1"). Every engine started here is stopped before the test
// ends; its data directory is a temporary folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"

namespace {

using engine_test::LogEntries;
using engine_test::WaitUntil;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const char kDelim[] = {platform::kPathDelim, '\0'};
const char kProgramVariable[] = "NIMBRA_TOR_EXECUTABLE";

class RealTorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tor_ = engine_test::BuildPath("/usr/bin/tor");
    if (!platform::FileExists(tor_)) GTEST_SKIP() << "no engine program at " << tor_;
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    platform::SetEnvironmentValue(kProgramVariable, tor_);

    folder_ = system_.Root() / "engine" + kDelim;
    ASSERT_TRUE(platform::ForceDirectories(folder_));
    engine_test::CopyLibrary(engine_test::BuildPath(NIMBRA_LAUNCHER_DLL), folder_ + "anon.dll");
    // The engine program reads the paths as its own system writes them.
    std::string unix_folder = platform::UnixPathOf(folder_);
    ASSERT_FALSE(unix_folder.empty());
    if (unix_folder.back() != '/') unix_folder += '/';
    warn_log_ = folder_ + "anon.dll.log";
    test_support::WriteFileForTest(folder_ + "anon_settings",
                                   "SocksListenAddress 127.0.0.1\r\n"
                                   "SocksPort 35491\r\n"
                                   "ControlPort 35490\r\n"
                                   "CookieAuthentication 1\r\n"
                                   "DataDirectory " +
                                       unix_folder +
                                       "cache\r\n"
                                       "Log warn file " +
                                       unix_folder +
                                       "anon.dll.log\r\n"
                                       "DisableNetwork 1\r\n");
  }

  void TearDown() override {
    // Whatever failed above, no engine may outlive the test.
    if (engine_test::ControlPortOpen()) {
      engine_test::RawControl({engine_test::AuthenticateLine(folder_), "SIGNAL HALT"});
    }
    EXPECT_TRUE(engine_test::WaitForHostThreads(30000));
    EXPECT_TRUE(WaitUntil([] { return !engine_test::ControlPortOpen(); }, 15000));
    platform::SetEnvironmentValue(kProgramVariable, "");
    InitLog(false);
  }

  // True once the launcher has the engine tied to its host.
  bool WaitForOwnership() {
    return WaitUntil(
        [&] {
          return test_support::ReadFileOrMissing(warn_log_).find("ownership taken") !=
                 std::string::npos;
        },
        60000);
  }

  test_support::IsolatedSystem system_;
  std::string tor_;
  std::string folder_;
  std::string warn_log_;
};

TEST_F(RealTorTest, ProgressAndNewIdentityFromTheRealEngine) {
  auto control = std::make_unique<TTorControl>(folder_);
  ASSERT_TRUE(WaitForOwnership()) << test_support::ReadFileOrMissing(warn_log_);
  // Only a connection that brings the cookie gets in.
  EXPECT_EQ(engine_test::RawControl({engine_test::AuthenticateLine(folder_)}), "250 OK\r\n");
  EXPECT_THAT(engine_test::RawControl({"AUTHENTICATE", "GETINFO version"}),
              StartsWith("515 Authentication failed"));
  EXPECT_THAT(engine_test::RawControl({"GETINFO version"}),
              StartsWith("514 Authentication required"));

  engine_test::ClearLog();
  control->StartTor();
  const int progress = control->GetProgressStatus();
  // Off the network the engine stays at its first phases; what matters is
  // that its reply was read as a number without a word in the log.
  EXPECT_GE(progress, 0);
  EXPECT_LT(progress, 100);
  EXPECT_TRUE(control->SendNewNym());
  EXPECT_THAT(LogEntries(), IsEmpty());
  EXPECT_TRUE(platform::DirectoryExists(folder_ + "cache"));

  // The engine outlives its controller; told to halt, it ends, and so do
  // the launcher's dll_start and the host thread.
  control.reset();
  EXPECT_EQ(engine_test::RawControl({engine_test::AuthenticateLine(folder_), "SIGNAL HALT"}),
            "250 OK\r\n250 OK\r\n");
  EXPECT_TRUE(engine_test::WaitForHostThreads(30000));
  EXPECT_TRUE(WaitUntil([] { return !engine_test::ControlPortOpen(); }, 15000));
  EXPECT_THAT(LogEntries(), IsEmpty()) << "the launcher library was released";
  // With the cookie asked for, the engine has nothing to warn about its
  // control port.
  const std::string engine_log = test_support::ReadFileOrMissing(warn_log_);
  EXPECT_EQ(engine_log.find("That's bad"), std::string::npos) << engine_log;
  EXPECT_EQ(engine_log.find("no authentication method"), std::string::npos) << engine_log;
}

TEST_F(RealTorTest, EngineEndsWithItsHostProcess) {
  platform::ChildProcess host;
  ASSERT_EQ(host.Start(engine_test::BuildPath(NIMBRA_ENGINE_HOST), {folder_}), 0u);
  ASSERT_TRUE(host.Tracked());
  ASSERT_TRUE(WaitForOwnership()) << test_support::ReadFileOrMissing(warn_log_);
  EXPECT_TRUE(engine_test::ControlPortOpen());

  host.Kill();  // no clean-up of its own runs
  EXPECT_TRUE(WaitUntil([] { return !engine_test::ControlPortOpen(); }, 15000))
      << "the engine must not outlive its host";
}

}  // namespace
