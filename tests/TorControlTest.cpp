// The engine host thread and the control client, against the simulated
// engine library, broken libraries and a scripted control port. Every test
// here uses the engine's fixed control port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/AppFolders.h"
#include "base/Endpoints.h"
#include "base/Logger.h"
#include "engine/ControlAuth.h"
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
    for (const std::string& folder : folders_) {
      if (!engine_test::ControlPortOpen()) break;
      engine_test::RawControl({engine_test::AuthenticateLine(folder), "SIGNAL HALT"});
    }
    EXPECT_TRUE(engine_test::WaitForHostThreads());
    platform::SetEnvironmentValue(kBootstrapVariable, "");
    InitLog(false);
  }

  // A new engine folder holding `library` as "anon.dll" (none when empty).
  std::string EngineFolder(const std::string& name, const std::string& library) {
    const std::string folder = system_.Root() / name + kDelim;
    EXPECT_TRUE(platform::ForceDirectories(folder));
    if (!library.empty()) engine_test::CopyLibrary(library, folder + "anon.dll");
    folders_.push_back(folder);
    return folder;
  }

  void HaltEngine() {
    EXPECT_NE(
        engine_test::RawControl({engine_test::AuthenticateLine(folders_.back()), "SIGNAL HALT"}),
        "");
    ASSERT_TRUE(engine_test::WaitForHostThreads());
  }

  test_support::IsolatedSystem system_;
  std::vector<std::string> folders_;
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
      "CookieAuthentication 1\r\n"
      "DataDirectory " +
      folder +
      "cache\r\n"
      "Log warn file " +
      folder + "anon.dll.log\r\n";
  EXPECT_EQ(ReadFileOrMissing(folder + "anon_settings"), platform::Utf8ToAnsi(expected));
  // The engine wrote its cookie where the settings say.
  EXPECT_EQ(ReadFileOrMissing(folder + "cache" + kDelim + "control_auth_cookie").size(), 32u);
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
  EXPECT_NE(engine_test::RawControl(
                {engine_test::AuthenticateLine(folder), "GETINFO status/bootstrap-phase"})
                .find("PROGRESS=100 "),
            std::string::npos)
      << "the engine outlives its controller";
  // Without the cookie the engine refuses and closes.
  EXPECT_EQ(engine_test::RawControl({"AUTHENTICATE", "GETINFO status/bootstrap-phase"}),
            "515 Authentication failed: Wrong length on authentication cookie.\r\n");
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

TEST_F(EngineTest, AControllerAsksAnEngineStartedAnewWithItsNewCookie) {
  const std::string folder = EngineFolder("engine", SimEngine());
  const std::string cookie_path = folder + "cache" + kDelim + "control_auth_cookie";
  auto control = std::make_unique<TTorControl>(folder);
  control->StartTor();
  ASSERT_TRUE(WaitUntil([&] { return control->GetProgressStatus() == 100; }, 20000));
  const std::string first_cookie = ReadFileOrMissing(cookie_path);
  HaltEngine();

  // Another host in the same folder: the engine writes a new cookie.
  auto other = std::make_unique<TTorControl>(folder);
  other->StartTor();
  ASSERT_TRUE(WaitUntil([&] { return other->GetProgressStatus() == 100; }, 20000));
  ASSERT_NE(ReadFileOrMissing(cookie_path), first_cookie);

  // The first controller still holds the old cookie; refused, it reads the
  // new one and asks again within the same poll.
  engine_test::ClearLog();
  EXPECT_EQ(control->GetProgressStatus(), 100);
  EXPECT_THAT(LogEntries(),
              ElementsAre("TTorControl.GetProgressStatus: AUTHENTICATE reply = 515 "
                          "Authentication failed: Authentication cookie did not match expected "
                          "value."));
  engine_test::ClearLog();
  EXPECT_TRUE(control->SendNewNym());
  EXPECT_THAT(LogEntries(), IsEmpty()) << "the new cookie is kept";
  control.reset();
  other.reset();
  HaltEngine();
}

TEST_F(EngineTest, ConnectionsKeptOpenDoNotHoldUpTheNextOnes) {
  const std::string folder = EngineFolder("engine", SimEngine());
  TTorControl control(folder);
  control.StartTor();
  ASSERT_TRUE(WaitUntil([&] { return control.GetProgressStatus() == 100; }, 20000));
  // Two controllers that stay connected, one of them in the middle of a
  // line.
  platform::TcpSocket idle, halfway;
  ASSERT_EQ(idle.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, 5000), 0u);
  ASSERT_EQ(halfway.Connect(endpoints::kLoopbackHost, endpoints::kEngineControlPort, 5000), 0u);
  ASSERT_EQ(halfway.SendAll(engine_test::AuthenticateLine(folder) + "\r\nGETINFO sta"), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(control.GetProgressStatus(), 100);
  // The one in the middle of its line is still served.
  ASSERT_EQ(halfway.SendAll("tus/bootstrap-phase\r\n"), 0u);
  std::string reply;
  while (reply.find("250 OK\r\n", 8) == std::string::npos) {
    const std::size_t before = reply.size();
    ASSERT_EQ(halfway.Receive(reply, 4096, 5000), 0u);
    ASSERT_GT(reply.size(), before);
  }
  EXPECT_NE(reply.find("PROGRESS=100 "), std::string::npos) << reply;
  idle.Close();
  halfway.Close();
  HaltEngine();
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
  ASSERT_EQ(listener.Listen(endpoints::kLoopbackHost, endpoints::kEngineControlPort), 0u);

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
    EXPECT_EQ(listener_.Listen(endpoints::kLoopbackHost, endpoints::kEngineControlPort), 0u);
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
    folder_ = EngineFolder("empty", "");
    control_ = std::make_unique<TTorControl>(folder_);
    ASSERT_TRUE(engine_test::WaitForHostThreads());
    // A settings file of an earlier version, without any authentication:
    // used as it stands.
    test_support::WriteFileForTest(folder_ + "anon_settings",
                                   "SocksListenAddress 127.0.0.1\r\nSocksPort 35491\r\n"
                                   "ControlPort 35490\r\nDataDirectory " +
                                       folder_ + "cache\r\n");
    engine_test::ClearLog();
    control_->StartTor();
  }

  // Settings that ask for the cookie in the folder's data directory.
  void AskForCookie() {
    test_support::WriteFileForTest(folder_ + "anon_settings",
                                   platform::Utf8ToAnsi(EngineSettingsText(folder_)));
    ASSERT_TRUE(platform::ForceDirectories(folder_ + "cache"));
  }
  std::string CookiePath() const { return folder_ + "cache" + kDelim + "control_auth_cookie"; }

  std::string folder_;
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

TEST_F(ScriptedReplyTest, CookieFromTheDataDirectoryInHexadecimal) {
  AskForCookie();
  std::string cookie;
  for (int i = 0; i < 32; ++i) cookie += static_cast<char>(i * 8 + 1);
  test_support::WriteFileForTest(CookiePath(), cookie);
  const std::string hex = "0109111921293139414951596169717981899199A1A9B1B9C1C9D1D9E1E9F1F9";
  {
    ScriptedEngine engine({"250 OK", "250 OK"});
    EXPECT_TRUE(control_->SendNewNym());
    EXPECT_THAT(engine.Received(),
                ElementsAre("AUTHENTICATE " + hex + "\r\n", "SIGNAL NEWNYM\r\n"));
  }
  EXPECT_THAT(LogEntries(), IsEmpty());

  // A cookie the engine does not know: logged like any refused
  // authentication, the command still goes out.
  {
    ScriptedEngine engine(
        {"515 Authentication failed: Authentication cookie did not match "
         "expected value.",
         ScriptedEngine::kClose});
    EXPECT_EQ(control_->GetProgressStatus(), 0);
  }
  EXPECT_THAT(LogEntries(),
              ElementsAre(std::string(kProgressSource) +
                              "AUTHENTICATE reply = 515 Authentication failed: Authentication "
                              "cookie did not match expected value.",
                          std::string(kProgressSource) +
                              "EConnectionClosed : Connection closed by the engine"));
}

TEST_F(ScriptedReplyTest, UnusableCookieIsLoggedAndTheEngineAskedWithout) {
  AskForCookie();
  struct Case {
    std::string name;
    std::function<void()> prepare;
    std::string reason;  // "" for an error text
  };
  const Case cases[] = {
      {"missing", [] {}, ""},
      {"short", [&] { test_support::WriteFileForTest(CookiePath(), std::string(10, 'c')); },
       "10 bytes instead of 32"},
      {"long", [&] { test_support::WriteFileForTest(CookiePath(), std::string(33, 'c')); },
       "more than 32 bytes"},
      {"folder",
       [&] {
         platform::DeleteFileAt(CookiePath());
         ASSERT_TRUE(platform::ForceDirectories(CookiePath()));
       },
       "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    engine_test::ClearLog();
    ScriptedEngine engine({"515 Authentication failed: Wrong length on authentication cookie.",
                           "514 Authentication required."});
    EXPECT_FALSE(control_->SendNewNym());
    EXPECT_THAT(engine.Received(), ElementsAre("AUTHENTICATE\r\n", "SIGNAL NEWNYM\r\n"));
    const std::vector<std::string> entries = LogEntries();
    ASSERT_EQ(entries.size(), 3u);
    const std::string prefix =
        std::string(kNewNymSource) + "Unusable authentication cookie " + CookiePath() + ": ";
    if (c.reason.empty()) {
      EXPECT_THAT(entries[0], IsErrorLine(prefix));
    } else {
      EXPECT_EQ(entries[0], prefix + c.reason);
    }
    EXPECT_EQ(entries[1], std::string(kNewNymSource) +
                              "AUTHENTICATE reply = 515 Authentication failed: Wrong length on "
                              "authentication cookie.");
    EXPECT_EQ(entries[2],
              std::string(kNewNymSource) + "SIGNAL NEWNYM reply = 514 Authentication required.");
  }
}

// A control port run by `serve` on its one accepted connection.
class HostilePeer {
 public:
  explicit HostilePeer(std::function<void(platform::TcpSocket&)> serve) {
    EXPECT_EQ(listener_.Listen(endpoints::kLoopbackHost, endpoints::kEngineControlPort), 0u);
    thread_ = std::thread([this, serve] {
      platform::TcpSocket peer;
      if (listener_.Accept(peer, 10000) == 0) serve(peer);
    });
  }
  ~HostilePeer() { thread_.join(); }

 private:
  platform::TcpListener listener_;
  std::thread thread_;
};

// Reads one line (up to LF) from the client; false when it went away.
bool ReadClientLine(platform::TcpSocket& peer, std::string& pending) {
  while (pending.find('\n') == std::string::npos) {
    const std::size_t before = pending.size();
    if (peer.Receive(pending, 4096, 10000) != 0 || pending.size() == before) return false;
  }
  pending.erase(0, pending.find('\n') + 1);
  return true;
}

TEST_F(ScriptedReplyTest, OneDeadlineForTheWholeExchange) {
  // Each answer alone comes well within the time-out, both together do not.
  HostilePeer engine([](platform::TcpSocket& peer) {
    std::string pending;
    for (const char* reply : {"250 OK\r\n",
                              "250-status/bootstrap-phase=NOTICE BOOTSTRAP "
                              "PROGRESS=50 TAG=x\r\n"}) {
      if (!ReadClientLine(peer, pending)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(kControlExchangeTimeoutMs * 3 / 5));
      if (peer.SendAll(reply) != 0) return;
    }
  });
  EXPECT_EQ(control_->GetProgressStatus(), 0);
  EXPECT_THAT(LogEntries(),
              ElementsAre(std::string(kProgressSource) + "ESocketTimeout : Read timed out"));
}

TEST_F(ScriptedReplyTest, EngineThatStreamsAfterItsReplyIsLeftBehind) {
  HostilePeer engine([](platform::TcpSocket& peer) {
    std::string pending;
    if (!ReadClientLine(peer, pending) || peer.SendAll("250 OK\r\n") != 0) return;
    if (!ReadClientLine(peer, pending)) return;
    // The reply, then bytes without a line end for as long as anyone reads.
    std::string reply = "250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=100 TAG=done\r\n";
    reply += std::string(65536, 'x');
    if (peer.SendAll(reply) != 0) return;
    const std::string more(65536, 'y');
    while (peer.SendAll(more) == 0) {
    }
  });
  EXPECT_EQ(control_->GetProgressStatus(), 100);
  EXPECT_THAT(LogEntries(), IsEmpty());
}

TEST_F(ScriptedReplyTest, ControlCharactersOfRepliesAreEscapedInTheLog) {
  {
    using namespace std::string_literals;
    ScriptedEngine engine({"250 OK\r\r\n"s, "250 O\0K\r8.12.26 forged: line"s});
    EXPECT_FALSE(control_->SendNewNym());
  }
  EXPECT_THAT(LogEntries(),
              ElementsAre(std::string(kNewNymSource) + "AUTHENTICATE reply = 250 OK\\x0D",
                          std::string(kNewNymSource) +
                              "SIGNAL NEWNYM reply = 250 O\\x00K\\x0D8.12.26 forged: line"));
  const std::string log = ReadFileOrMissing(LogFileName());
  EXPECT_EQ(std::count(log.begin(), log.end(), '\r'), 2) << "two lines, each with its CR LF";
}

// A refused bridge text stores nothing and sends nothing: the first
// connection the engine sees is the accepted change, one SETCONF with every
// value quoted, and the engine folder's defaults file says the same.
TEST_F(ScriptedReplyTest, OnlyCheckedBridgesReachTheEngine) {
  const std::string options = system_.Root() / "options.ini";
  const std::string good =
      "obfs4 192.0.2.7:443 CDF2E852BF539B82BD10E27E9115A31734E378C2 "
      "cert=qUVQ0srL1JI/vO6V6m/24anYXiJD3QP2HgzUKQtQ7GRqqUvs7P+tG43RtAqdhLOALP7DJQ iat-mode=0";
  {
    ScriptedEngine engine({"250 OK", "250 OK"});
    const std::pair<std::string, int> bad[] = {{good + "\nControlPort 9051", 2},
                                               {good + "\rControlPort 9051", 1},
                                               {good + " #", 1},
                                               {std::string(1 << 20, 'x'), 1},
                                               {"ControlPort 9051", 1},
                                               {"\r\nobfs4 192.0.2.7:443", 2}};
    for (const auto& [text, line] : bad) {
      const TBridgeCheck check =
          ChangeBridges(*control_, true, TBridgeSource::Custom, text, options);
      EXPECT_FALSE(check.Ok());
      EXPECT_EQ(check.LineNumber, line) << check.Message();
      EXPECT_FALSE(platform::FileExists(options));
    }
    // Many lines: refused by number, nothing sent either.
    std::string many;
    for (int i = 0; i < 10000; ++i) many += good + "\r\n";
    EXPECT_EQ(ChangeBridges(*control_, true, TBridgeSource::Custom, many, options).Fault,
              TBridgeFault::TooManyLines);
    EXPECT_FALSE(platform::FileExists(options));
    EXPECT_EQ(ReadFileOrMissing(folder_ + kBridgeDefaultsFileName), "");

    ASSERT_TRUE(ChangeBridges(*control_, true, TBridgeSource::Custom, good, options).Ok());
    const std::vector<std::string> received = engine.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], "AUTHENTICATE\r\n");
    EXPECT_EQ(received[1], "SETCONF UseBridges=1 ClientTransportPlugin=\"obfs4 exec " +
                               Obfs4ProxyPath(folder_) + "\" Bridge=\"" + good + "\"\r\n");
    EXPECT_EQ(ReadFileOrMissing(folder_ + kBridgeDefaultsFileName),
              "UseBridges 1\r\nClientTransportPlugin obfs4 exec " + Obfs4ProxyPath(folder_) +
                  "\r\nBridge " + good + "\r\n");
  }

  // Off: the engine is told, and the next start has no bridges.
  ScriptedEngine off({"250 OK", "250 OK"});
  ASSERT_TRUE(ChangeBridges(*control_, false, TBridgeSource::Custom, good, options).Ok());
  EXPECT_EQ(off.Received().back(), "SETCONF UseBridges=0\r\n");
  EXPECT_EQ(ReadFileOrMissing(folder_ + kBridgeDefaultsFileName), "");
}

// The last status read is kept whole, a problem logged once as it begins.
TEST_F(ScriptedReplyTest, BootstrapProblemIsKeptBesideTheProgress) {
  const std::string warn =
      "250-status/bootstrap-phase=WARN BOOTSTRAP PROGRESS=5 TAG=conn SUMMARY=\"Connecting to a "
      "relay\" WARNING=\"Connection timed out\" REASON=TIMEOUT COUNT=2 RECOMMENDATION=warn";
  for (int i = 0; i < 2; ++i) {
    ScriptedEngine engine({"250 OK", warn});
    EXPECT_EQ(control_->GetProgressStatus(), 5);
  }
  const TBootstrapPhase phase = control_->LastBootstrapPhase();
  EXPECT_TRUE(phase.IsProblem());
  EXPECT_EQ(phase.Reason, "TIMEOUT");
  EXPECT_EQ(phase.Warning, "Connection timed out");
  EXPECT_THAT(LogEntries(), ElementsAre(std::string(kProgressSource) +
                                        "Bootstrap problem: TIMEOUT, Connection timed out (2)"));
  {
    ScriptedEngine engine(
        {"250 OK", "250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=10 TAG=conn_done"});
    EXPECT_EQ(control_->GetProgressStatus(), 10);
  }
  EXPECT_FALSE(control_->LastBootstrapPhase().IsProblem());
}

// A control port that serves `connections` connections one after the other,
// each by `serve` with its index; it accepts no more. The lines each
// connection sent before the peer's first answer are kept.
class SessionPeer {
 public:
  using Serve = std::function<void(platform::TcpSocket&, int, std::vector<std::string>&)>;

  SessionPeer(int connections, Serve serve) : sent_(static_cast<std::size_t>(connections)) {
    EXPECT_EQ(listener_.Listen(endpoints::kLoopbackHost, endpoints::kEngineControlPort), 0u);
    thread_ = std::thread([this, connections, serve] {
      for (int i = 0; i < connections; ++i) {
        platform::TcpSocket peer;
        if (listener_.Accept(peer, 10000) != 0) return;
        serve(peer, i, sent_[static_cast<std::size_t>(i)]);
        // Let the client close first, as it does once it has its lines.
        std::string rest;
        while (peer.Receive(rest, 4096, 10000) == 0 && !rest.empty()) rest.clear();
      }
    });
  }
  ~SessionPeer() { Join(); }

  // Joins the server: what each connection sent, and whether one more
  // connection than served was made.
  std::vector<std::vector<std::string>> Sent() {
    Join();
    return sent_;
  }
  bool AnotherConnection() {
    Join();
    platform::TcpSocket extra;
    return listener_.Accept(extra, 0) == 0;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  platform::TcpListener listener_;
  std::vector<std::vector<std::string>> sent_;
  std::thread thread_;
};

// Takes `count` lines (without their CR LF) from the client before anything
// is answered; fewer when the client waits for an answer first (2 s).
void TakeLinesUnanswered(platform::TcpSocket& peer, std::size_t count,
                         std::vector<std::string>& lines) {
  std::string pending;
  while (lines.size() < count) {
    const std::size_t end = pending.find('\n');
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      pending.erase(0, end + 1);
      continue;
    }
    const std::size_t before = pending.size();
    if (peer.Receive(pending, 4096, 2000) != 0 || pending.size() == before) return;
  }
}

// Both lines, then `reply` in one write.
SessionPeer::Serve AnswerBothAtOnce(const std::string& reply) {
  return [reply](platform::TcpSocket& peer, int, std::vector<std::string>& lines) {
    TakeLinesUnanswered(peer, 2, lines);
    if (lines.size() == 2) peer.SendAll(reply);
  };
}

const std::string kProgressLine =
    "250-status/bootstrap-phase=NOTICE BOOTSTRAP PROGRESS=42 TAG=x SUMMARY=\"y\"\r\n";
using Lines = std::vector<std::string>;

TEST_F(ScriptedReplyTest, AuthenticationAndCommandGoTogetherAndBothRepliesAreRead) {
  {
    SessionPeer engine(1, AnswerBothAtOnce("250 OK\r\n" + kProgressLine + "250 OK\r\n"));
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_THAT(engine.Sent(), ElementsAre(Lines{"AUTHENTICATE", "GETINFO status/bootstrap-phase"}))
        << "the command did not wait for the answer to AUTHENTICATE";
  }
  {
    SessionPeer engine(1, AnswerBothAtOnce("250 OK\r\n250 OK\r\n"));
    EXPECT_TRUE(control_->SendNewNym());
    EXPECT_THAT(engine.Sent(), ElementsAre(Lines{"AUTHENTICATE", "SIGNAL NEWNYM"}));
  }
  EXPECT_THAT(LogEntries(), IsEmpty());
}

TEST_F(ScriptedReplyTest, ARefusedSessionIsLoggedAndTheCommandsReplyStillDecides) {
  // However the engine refuses, the refusal is logged once, the command's own
  // reply decides, and no second connection is made with the line just read.
  for (const std::string refusal :
       {"515 Authentication failed: Authentication cookie did not match expected value.",
        "514 Authentication required.", "250 OKAY", "250-OK"}) {
    SCOPED_TRACE(refusal);
    engine_test::ClearLog();
    SessionPeer engine(1, AnswerBothAtOnce(refusal + "\r\n" + kProgressLine + "250 OK\r\n"));
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_FALSE(engine.AnotherConnection());
    EXPECT_THAT(LogEntries(),
                ElementsAre(std::string(kProgressSource) + "AUTHENTICATE reply = " + refusal));
  }
  // A refused session that then refuses the command too: no progress, both
  // lines logged.
  engine_test::ClearLog();
  {
    SessionPeer engine(1, AnswerBothAtOnce("515 Authentication failed\r\n514 Authentication "
                                           "required.\r\n"));
    EXPECT_EQ(control_->GetProgressStatus(), 0);
  }
  EXPECT_THAT(LogEntries(),
              ElementsAre(std::string(kProgressSource) + "AUTHENTICATE reply = 515 Authentication "
                                                         "failed",
                          std::string(kProgressSource) +
                              "Invalid GETINFO status/bootstrap-phase reply = 514 Authentication "
                              "required."));
}

TEST_F(ScriptedReplyTest, RepliesSplitAcrossReadsAreJoined) {
  const std::vector<std::vector<std::string>> splits = {
      // A piece a read: inside the status code, between CR and LF, inside
      // the key.
      {"2", "50 O", "K\r", "\n250-status/bootstrap-phase=NOTICE BOOTSTRAP PRO",
       "GRESS=42 TAG=x SUMMARY=\"y\"\r", "\n", "250 OK\r\n"},
      // The first reply with the start of the second.
      {"250 OK\r\n250-status/boot", "strap-phase=NOTICE BOOTSTRAP PROGRESS=42 ",
       "TAG=x\r\n250 OK\r\n"},
  };
  for (const std::vector<std::string>& pieces : splits) {
    SCOPED_TRACE(pieces.front());
    SessionPeer engine(1, [&pieces](platform::TcpSocket& peer, int, Lines& lines) {
      TakeLinesUnanswered(peer, 2, lines);
      for (const std::string& piece : pieces) {
        if (peer.SendAll(piece) != 0) return;
        // Long enough for the client to read each piece on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
    });
    EXPECT_EQ(control_->GetProgressStatus(), 42);
  }
  EXPECT_THAT(LogEntries(), IsEmpty());
}

TEST_F(ScriptedReplyTest, CookieIsReadOnceAndAgainOnlyAfterARefusal) {
  AskForCookie();
  auto cookie = [](char c) { return std::string(32, c); };
  auto line = [&](char c) { return "AUTHENTICATE " + engine_auth::HexText(cookie(c)); };
  auto sent = [&](char c) { return Lines{line(c), "GETINFO status/bootstrap-phase"}; };
  const std::string ok = "250 OK\r\n" + kProgressLine + "250 OK\r\n";
  // The engine's refusal of a wrong cookie, after which it closes.
  const SessionPeer::Serve refuse = [](platform::TcpSocket& peer, int, Lines& lines) {
    TakeLinesUnanswered(peer, 2, lines);
    peer.SendAll(
        "515 Authentication failed: Authentication cookie did not match expected value.\r\n");
    peer.Close();
  };
  const std::string refused = std::string(kProgressSource) +
                              "AUTHENTICATE reply = 515 Authentication failed: Authentication "
                              "cookie did not match expected value.";
  const std::string closed =
      std::string(kProgressSource) + "EConnectionClosed : Connection closed by the engine";

  test_support::WriteFileForTest(CookiePath(), cookie('a'));
  {
    SessionPeer engine(1, AnswerBothAtOnce(ok));
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('a')));
  }
  // Kept: gone from its file, the cookie is still sent, without a word.
  ASSERT_TRUE(platform::DeleteFileAt(CookiePath()));
  {
    SessionPeer engine(1, AnswerBothAtOnce(ok));
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('a')));
  }
  EXPECT_THAT(LogEntries(), IsEmpty());

  // The engine started anew with another cookie: refused, read again and
  // asked once more, all in one poll.
  test_support::WriteFileForTest(CookiePath(), cookie('b'));
  {
    SessionPeer engine(2, [&](platform::TcpSocket& peer, int index, Lines& lines) {
      if (index == 0) return refuse(peer, index, lines);
      AnswerBothAtOnce(ok)(peer, index, lines);
    });
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('a'), sent('b')));
  }
  EXPECT_THAT(LogEntries(), ElementsAre(refused));

  // Refused while the file still holds the cookie sent: asking again would
  // change nothing, so it is not done; the next poll reads the file anew.
  engine_test::ClearLog();
  {
    SessionPeer engine(1, refuse);
    EXPECT_EQ(control_->GetProgressStatus(), 0);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('b')));
    EXPECT_FALSE(engine.AnotherConnection());
  }
  EXPECT_THAT(LogEntries(), ElementsAre(refused, closed));
  test_support::WriteFileForTest(CookiePath(), cookie('c'));
  {
    SessionPeer engine(1, AnswerBothAtOnce(ok));
    EXPECT_EQ(control_->GetProgressStatus(), 42);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('c')));
  }

  // Asked once more, and refused again: no third connection.
  engine_test::ClearLog();
  test_support::WriteFileForTest(CookiePath(), cookie('d'));
  {
    SessionPeer engine(2, refuse);
    EXPECT_EQ(control_->GetProgressStatus(), 0);
    EXPECT_THAT(engine.Sent(), ElementsAre(sent('c'), sent('d')));
    EXPECT_FALSE(engine.AnotherConnection());
  }
  EXPECT_THAT(LogEntries(), ElementsAre(refused, refused, closed));
}

}  // namespace
