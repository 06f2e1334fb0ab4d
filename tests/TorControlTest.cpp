// The engine host thread and the control client, against the simulated
// engine library, broken libraries and a scripted control port. Every test
// here uses the engine's fixed control port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/AppFolders.h"
#include "core/Logger.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"

namespace {

using engine_test::LogEntries;
using engine_test::WaitUntil;
using test_support::ReadFileOrMissing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// "<prefix>Error <code>: <text>", the form of SysErrorText behind a prefix.
MATCHER_P(IsErrorLine, prefix, "is \"" + std::string(prefix) + "Error <code>: <text>\"") {
  const std::string text = arg;
  const std::string start = std::string(prefix) + "Error ";
  if (text.compare(0, start.size(), start) != 0) return false;
  std::size_t at = start.size();
  const std::size_t digits = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at > digits && text.compare(at, 2, ": ") == 0 && text.size() > at + 2;
}

const char kDelim[] = {platform::kPathDelim, '\0'};
const char kBootstrapVariable[] = "NIMBRA_SIMENGINE_BOOTSTRAP_MS";

std::string SimEngine() { return engine_test::BuildPath(NIMBRA_SIMENGINE_DLL); }
std::string NoExportLibrary() { return engine_test::BuildPath(NIMBRA_NOEXPORT_DLL); }

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    platform::SetEnvironmentValue(kBootstrapVariable, "0");
  }

  void TearDown() override {
    // Nothing of one test's engine may reach the next.
    if (engine_test::ControlPortOpen()) engine_test::RawControl({"AUTHENTICATE", "SIGNAL HALT"});
    EXPECT_TRUE(engine_test::WaitForHostThreads());
    platform::SetEnvironmentValue(kBootstrapVariable, "");
    InitLog(false);
  }

  // A new engine folder holding `library` as "anon.dll" (none when empty).
  std::string EngineFolder(const std::string& name, const std::string& library) {
    const std::string folder = system_.Root() / name + kDelim;
    EXPECT_TRUE(platform::ForceDirectories(folder));
    if (!library.empty()) engine_test::CopyLibrary(library, folder + "anon.dll");
    return folder;
  }

  static void HaltEngine() {
    EXPECT_NE(engine_test::RawControl({"AUTHENTICATE", "SIGNAL HALT"}), "");
    ASSERT_TRUE(engine_test::WaitForHostThreads());
  }

  test_support::IsolatedSystem system_;
};

TEST_F(EngineTest, FirstStartWritesTheSettingsAndTheEngineAnswers) {
  // A folder name outside ASCII reaches the engine converted to 8-bit text.
  const std::string folder = EngineFolder("engine \xC3\xA9t\xC3\xA9", SimEngine());
  // Given without its trailing separator: the host adds it.
  auto control = std::make_unique<TTorControl>(folder.substr(0, folder.size() - 1));
  control->StartTor();
  ASSERT_TRUE(WaitUntil([&] { return control->GetProgressStatus() == 100; }, 20000));

  const std::string expected =
      "SocksListenAddress 127.0.0.1\r\n"
      "SocksPort 35491\r\n"
      "ControlPort 35490\r\n"
      "DataDirectory " +
      folder +
      "cache\r\n"
      "Log warn file " +
      folder + "anon.dll.log\r\n";
  EXPECT_EQ(ReadFileOrMissing(folder + "anon_settings"), platform::Utf8ToAnsi(expected));
  EXPECT_TRUE(platform::DirectoryExists(folder + "cache"));
  // The engine found its data directory and warnings log by those paths.
  EXPECT_TRUE(platform::FileExists(folder + "cache" + kDelim + "state"));
  EXPECT_NE(ReadFileOrMissing(folder + "anon.dll.log").find("[warn]"), std::string::npos);

  engine_test::ClearLog();  // refused polls while the engine opened its port
  EXPECT_TRUE(control->SendNewNym());
  control->StopTor();
  EXPECT_EQ(control->GetProgressStatus(), 0);
  EXPECT_FALSE(control->SendNewNym());
  control->StartTor();
  EXPECT_EQ(control->GetProgressStatus(), 100) << "the engine kept its state";

  control.reset();
  EXPECT_NE(engine_test::RawControl({"AUTHENTICATE", "GETINFO status/bootstrap-phase"})
                .find("PROGRESS=100 "),
            std::string::npos)
      << "the engine outlives its controller";
  HaltEngine();
  EXPECT_FALSE(engine_test::ControlPortOpen());
  EXPECT_THAT(LogEntries(), IsEmpty()) << "the library was released without a word";
}

TEST_F(EngineTest, ExistingSettingsStayByteForByteAndTheCacheComesBack) {
  const std::string folder = EngineFolder("engine", SimEngine());
  const std::string elsewhere = system_.Root() / "elsewhere" + kDelim;
  const std::string settings =
      "# kept as it is\r\n"
      "SocksPort 35491\n"
      "ControlPort 35490\r\n"
      "DataDirectory " +
      elsewhere +
      "cache\r\n"
      "Log warn file " +
      elsewhere +
      "engine.log\r\n"
      "SimulatedBootstrapMs 1500\r\n";
  test_support::WriteFileForTest(folder + "anon_settings", settings);

  for (int run = 0; run < 2; ++run) {
    auto control = std::make_unique<TTorControl>(folder);
    control->StartTor();
    std::vector<int> seen;
    ASSERT_TRUE(WaitUntil(
        [&] {
          seen.push_back(control->GetProgressStatus());
          return seen.back() >= 100;
        },
        20000));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 100; }))
        << "the progress climbs";
    EXPECT_EQ(seen.back(), 100);
    EXPECT_EQ(ReadFileOrMissing(folder + "anon_settings"), settings);
    EXPECT_TRUE(platform::DirectoryExists(folder + "cache"));
    EXPECT_TRUE(platform::FileExists(elsewhere + "cache" + kDelim + "state"));
    control.reset();
    HaltEngine();
    std::filesystem::remove_all(std::filesystem::path(folder + "cache"));
  }
}

TEST_F(EngineTest, MissingLibraryIsLoggedAndTheProgramGoesOn) {
  const std::string folder = EngineFolder("empty", "");
  TTorControl control(folder);
  ASSERT_TRUE(engine_test::WaitForHostThreads());
  EXPECT_THAT(LogEntries(), ElementsAre(IsErrorLine("TTorThread.Execute: LoadLibrary "),
                                        IsErrorLine("TTorThread.Destroy: FreeLibrary ")));
  EXPECT_TRUE(platform::FileExists(folder + "anon_settings"));
  EXPECT_FALSE(platform::DirectoryExists(folder + "cache"));

  engine_test::ClearLog();
  control.StartTor();
  EXPECT_EQ(control.GetProgressStatus(), 0);
  EXPECT_FALSE(control.SendNewNym());
  EXPECT_THAT(LogEntries(),
              ElementsAre(IsErrorLine("TTorControl.GetProgressStatus: ESocketError : "),
                          IsErrorLine("TTorControl.SendNewNym: ESocketError : ")));
}

TEST_F(EngineTest, LibraryWithoutTheEntryPoint) {
  const std::string folder = EngineFolder("noexport", NoExportLibrary());
  { TTorControl control(folder); }
  ASSERT_TRUE(engine_test::WaitForHostThreads());
  EXPECT_THAT(LogEntries(), ElementsAre(IsErrorLine("TTorThread.Execute: GetProcAddress ")));
  EXPECT_FALSE(platform::DirectoryExists(folder + "cache"));
}

TEST_F(EngineTest, UnwritableSettingsEndTheThreadBeforeLoading) {
  test_support::WriteFileForTest(system_.Root() / "file", "a file, not a folder");
  { TTorControl control(system_.Root() / "file" + kDelim + "engine" + kDelim); }
  ASSERT_TRUE(engine_test::WaitForHostThreads());
  EXPECT_THAT(LogEntries(), ElementsAre(IsErrorLine("TTorThread.Destroy: FreeLibrary ")));
}

TEST_F(EngineTest, OffMeansNoConnectionAndNoLogLine) {
  TTorControl control(EngineFolder("empty", ""));
  ASSERT_TRUE(engine_test::WaitForHostThreads());
  engine_test::ClearLog();
  platform::TcpListener listener;
  ASSERT_EQ(listener.Listen(kEngineHost, kEngineControlPort), 0u);

  EXPECT_EQ(control.GetProgressStatus(), 0);
  EXPECT_FALSE(control.SendNewNym());
  control.StartTor();
  control.StopTor();
  EXPECT_EQ(control.GetProgressStatus(), 0);
  EXPECT_FALSE(control.SendNewNym());

  platform::TcpSocket peer;
  EXPECT_EQ(listener.Accept(peer, 200), platform::SocketTimedOut());
  EXPECT_EQ(ReadFileOrMissing(LogFileName()), "<missing>");
}

// A control port that answers each received line with the next scripted
// reply, and records the bytes it received.
class ScriptedEngine {
 public:
  static constexpr const char* kClose = "<close>";    // close instead of answering
  static constexpr const char* kSilent = "<silent>";  // never answer

  explicit ScriptedEngine(std::vector<std::string> replies) : replies_(std::move(replies)) {
    EXPECT_EQ(listener_.Listen(kEngineHost, kEngineControlPort), 0u);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedEngine() {
    if (thread_.joinable()) thread_.join();
  }

  // Joins the server and returns the lines it received, line ends included.
  std::vector<std::string> Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve() {
    platform::TcpSocket peer;
    if (listener_.Accept(peer, 10000) != 0) return;
    std::string buffer;
    for (const std::string& reply : replies_) {
      std::size_t end;
      while ((end = buffer.find('\n')) == std::string::npos) {
        const std::size_t before = buffer.size();
        if (peer.Receive(buffer, 4096, 10000) != 0 || buffer.size() == before) return;
      }
      received_.push_back(buffer.substr(0, end + 1));
      buffer.erase(0, end + 1);
      if (reply == kClose) return;
      if (reply == kSilent) break;
      // A reply that brings its own line end keeps it (a bare LF, say).
      peer.SendAll(!reply.empty() && reply.back() == '\n' ? reply : reply + "\r\n");
    }
    // Let the client close first, as it does once it has its line.
    std::string rest;
    while (peer.Receive(rest, 4096, 10000) == 0 && !rest.empty()) rest.clear();
  }

  platform::TcpListener listener_;
  std::vector<std::string> replies_;
  std::vector<std::string> received_;
  std::thread thread_;
};

class ScriptedReplyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    control_ = std::make_unique<TTorControl>(EngineFolder("empty", ""));
    ASSERT_TRUE(engine_test::WaitForHostThreads());
    engine_test::ClearLog();
    control_->StartTor();
  }

  std::unique_ptr<TTorControl> control_;
};

const char kProgressSource[] = "TTorControl.GetProgressStatus: ";
const char kNewNymSource[] = "TTorControl.SendNewNym: ";

TEST_F(ScriptedReplyTest, ProgressIsTheNumberBeforeTheNextBlank) {
  struct Case {
    std::string line;
    int progress;
    bool valid;
  };
  const Case cases[] = {
      {"250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=85 TAG=ap_conn_done "
       "SUMMARY=\"Connected to a relay to build circuits\"",
       85, true},
      {"250-status/bootstrap-phase=NOTICE BOOTSTRAP TAG=done PROGRESS=100", 0, false},
      {"250-status/bootstrap-phase=NOTICE BOOTSTRAP TAG=starting SUMMARY=\"Starting\"", 0, false},
      {"250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=8x TAG=conn", 0, false},
      {"250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS= TAG=conn", 0, false},
      {"552 Unrecognized key \"status/bootstrap-phase\"", 0, false},
      {"250-x progress=5 PROGRESS=7 TAG=a PROGRESS=9 TAG=b", 7, true},
      {"250-x PROGRESS=-1 TAG=odd", 0, true},  // the "no value" marker never comes back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    engine_test::ClearLog();
    ScriptedEngine engine({"250 OK", c.line + "\r\n250 OK"});
    EXPECT_EQ(control_->GetProgressStatus(), c.progress);
    EXPECT_THAT(engine.Received(),
                ElementsAre("AUTHENTICATE\r\n", "GETINFO status/bootstrap-phase\r\n"));
    if (c.valid) {
      EXPECT_THAT(LogEntries(), IsEmpty());
    } else {
      EXPECT_THAT(LogEntries(),
                  ElementsAre(std::string(kProgressSource) +
                              "Invalid GETINFO status/bootstrap-phase reply = " + c.line));
    }
  }
}

TEST_F(ScriptedReplyTest, RefusedAuthenticationIsLoggedAndTheCommandSentAnyway) {
  {
    ScriptedEngine engine({"515 Authentication failed",
                           "250-status/bootstrap-phase=NOTICE "
                           "BOOTSTRAP PROGRESS=42 TAG=x SUMMARY=\"y\""});
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_EQ(engine.Received().size(), 2u);
  }
  {
    ScriptedEngine engine({"515 Authentication failed", "552 Unrecognized signal code \"NEWNYM\""});
    EXPECT_FALSE(control_->SendNewNym());
    EXPECT_THAT(engine.Received(), ElementsAre("AUTHENTICATE\r\n", "SIGNAL NEWNYM\r\n"));
  }
  EXPECT_THAT(LogEntries(),
              ElementsAre(std::string(kProgressSource) + "AUTHENTICATE reply = 515 Authentication "
                                                         "failed",
                          std::string(kNewNymSource) + "AUTHENTICATE reply = 515 Authentication "
                                                       "failed",
                          std::string(kNewNymSource) +
                              "SIGNAL NEWNYM reply = 552 Unrecognized signal code \"NEWNYM\""));
}

TEST_F(ScriptedReplyTest, NewNymNeedsExactlyOk) {
  {
    ScriptedEngine engine({"250 OK", "250 OK"});
    EXPECT_TRUE(control_->SendNewNym());
  }
  EXPECT_THAT(LogEntries(), IsEmpty());
  for (const std::string reply : {"250 OK ", "250 OKAY", "250-OK"}) {
    engine_test::ClearLog();
    ScriptedEngine engine({"250 OK", reply});
    EXPECT_FALSE(control_->SendNewNym()) << reply;
    EXPECT_THAT(LogEntries(),
                ElementsAre(std::string(kNewNymSource) + "SIGNAL NEWNYM reply = " + reply));
  }
}

TEST_F(ScriptedReplyTest, NetworkFailuresBecomeLoggedZero) {
  {
    ScriptedEngine engine({"250 OK", ScriptedEngine::kClose});
    EXPECT_EQ(control_->GetProgressStatus(), 0);
  }
  {
    ScriptedEngine engine({"250 OK", std::string(kMaxControlLine + 1, 'x')});
    EXPECT_EQ(control_->GetProgressStatus(), 0);
  }
  {
    ScriptedEngine engine({ScriptedEngine::kSilent});
    EXPECT_FALSE(control_->SendNewNym()) << "a silent engine is given up on";
  }
  EXPECT_THAT(
      LogEntries(),
      ElementsAre(
          std::string(kProgressSource) + "EConnectionClosed : Connection closed by the engine",
          std::string(kProgressSource) + "ELineTooLong : Reply line longer than 16384 characters",
          std::string(kNewNymSource) + "ESocketTimeout : Read timed out"));

  // The longest line accepted, with a bare LF as its end.
  engine_test::ClearLog();
  std::string longest = "250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=3 ";
  longest.resize(kMaxControlLine, 'x');
  ScriptedEngine engine({"250 OK", longest + "\n"});
  EXPECT_EQ(control_->GetProgressStatus(), 3);
  EXPECT_THAT(LogEntries(), IsEmpty());
}

}  // namespace
