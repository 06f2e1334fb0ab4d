// What the companion service needs of the platform, on both platforms: the
// pipe's owner keeps the name while clients come and go and serves one at a
// time, knows the client's process, and learns how another process ended
// (an exit code for a normal end, none for a kill); stop requests reach
// their handler.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pipe/PipeProtocol.h"
#include "platform/Files.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "platform/StopRequests.h"
#include "support/TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace {

using namespace std::chrono_literals;

std::string PeerProgram() {
#ifdef _WIN32
  std::string path = std::string("Z:") + NIMBRA_PIPE_PEER;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
#else
  return NIMBRA_PIPE_PEER;
#endif
}

std::string UniquePipe() {
  static std::atomic<int> counter{0};
  return "\\\\.\\PIPE\\NimbraPlatformTest {" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(++counter) + "}";
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds within = 20s) {
  const auto until = std::chrono::steady_clock::now() + within;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A scripted client process (tests/support/PipePeer.cpp) on the pipe.
class Peer {
 public:
  Peer(const test_support::TempFolder& folder, const std::string& pipe, const std::string& name)
      : commands_(folder / (name + ".commands")), report_(folder / (name + ".report")) {
    test_support::WriteFileForTest(commands_, "");
    EXPECT_EQ(child_.Start(PeerProgram(), {pipe, commands_, report_}), 0u);
  }
  void Say(const std::string& command) { platform::AppendToFile(commands_, command + "\n"); }
  bool Reported(const std::string& line) const {
    return test_support::ReadFileOrMissing(report_).find(line + "\n") != std::string::npos;
  }
  platform::ChildProcess& Child() { return child_; }

 private:
  std::string commands_;
  std::string report_;
  platform::ChildProcess child_;
};

TEST(ServicePlatformTest, AnotherProcessEndingNormallyLeavesItsCodeAndAKilledOneNone) {
  test_support::TempFolder folder;
  const std::string pipe = UniquePipe();
  platform::PipeServerEnd server;
  ASSERT_EQ(server.Create(pipe), 0u);

  auto run = [&](const std::string& name, const std::string& ending) -> std::int64_t {
    Peer peer(folder, pipe, name);
    EXPECT_EQ(server.WaitForClient(20000), 0u);
    const std::uint32_t pid = server.ClientProcessId();
    EXPECT_EQ(pid, peer.Child().Id()) << "the client's process is known";
    platform::ProcessWatch watch;
    EXPECT_EQ(watch.Open(pid), 0u);
    EXPECT_FALSE(watch.WaitForExit(0));
    EXPECT_EQ(watch.ExitCode(), -1) << "no code while it runs";
    if (ending == "kill") {
      peer.Child().Kill();
    } else {
      peer.Say(ending);
    }
    EXPECT_TRUE(watch.WaitForExit(20000));
    server.Disconnect();
    return watch.ExitCode();
  };
  EXPECT_EQ(run("zero", "exit 0"), 0);
  EXPECT_EQ(run("seven", "exit 7"), 7);
  const std::int64_t killed = run("killed", "kill");
  EXPECT_NE(killed, 0) << "a kill never reads as a normal end";

#ifndef _WIN32
  // A record an earlier process of the same id left is not taken for this
  // one's: it carries the other process's start time.
  {
    Peer peer(folder, pipe, "stale");
    ASSERT_EQ(server.WaitForClient(20000), 0u);
    const std::uint32_t pid = server.ClientProcessId();
    platform::ProcessWatch watch;
    ASSERT_EQ(watch.Open(pid), 0u);
    peer.Child().Kill();
    ASSERT_TRUE(watch.WaitForExit(20000));
    const std::string folder_name = platform::EnvironmentValue("NIMBRA_NAMED_OBJECTS");
    test_support::WriteFileForTest((folder_name.empty() ? std::string("/dev/shm") : folder_name) +
                                       "/nimbra-exit." + std::to_string(pid),
                                   "1 0\n");
    EXPECT_EQ(watch.ExitCode(), -1);
    server.Disconnect();
  }
#endif
  platform::ProcessWatch nobody;
  EXPECT_NE(nobody.Open(0), 0u);
}

TEST(ServicePlatformTest, TheOwnerKeepsTheNameAndServesOneClientAtATime) {
  const std::string pipe = UniquePipe();
  platform::PipeServerEnd owner;
  ASSERT_EQ(owner.Create(pipe), 0u);
  platform::PipeServerEnd squatter;
  EXPECT_NE(squatter.Create(pipe), 0u) << "the name is taken";

  platform::PipeClientEnd first;
  ASSERT_EQ(first.Open(pipe), 0u);
  ASSERT_EQ(owner.WaitForClient(10000), 0u);
  EXPECT_TRUE(owner.Connected());
  EXPECT_EQ(owner.ClientProcessId(), platform::CurrentProcessId());
  platform::PipeClientEnd second;
  EXPECT_EQ(second.Open(pipe), platform::PipeBusy()) << "one client at a time";
  EXPECT_NE(squatter.Create(pipe), 0u) << "still taken while a client is there";

  first.Close();
  std::string bytes;
  EXPECT_EQ(owner.Read(bytes, 100, 10000), platform::PipeBroken());
  owner.Disconnect();
  EXPECT_FALSE(owner.Connected());
  EXPECT_NE(squatter.Create(pipe), 0u) << "still taken between clients";

  // The next client gets in once the owner waits again.
  std::thread waiter([&] { EXPECT_EQ(owner.WaitForClient(20000), 0u); });
  ASSERT_TRUE(Eventually([&] { return second.Open(pipe) == 0; }));
  waiter.join();
  const std::string query = EncodePipeRecord(StatusQuery);
  ASSERT_EQ(owner.Write(query.data(), static_cast<std::uint32_t>(query.size()), 5000), 0u);
  std::array<std::uint8_t, 64> buffer{};
  std::uint32_t count = 0;
  std::uint32_t error = second.BeginRead(buffer.data(), 64, count);
  if (error == platform::PipeIoPending()) error = second.FinishRead(count);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(count, query.size());

  owner.Close();
  EXPECT_EQ(squatter.Create(pipe), 0u) << "free once the owner has closed it";
}

TEST(ServicePlatformTest, StopRequestsReachTheirHandler) {
  std::atomic<int> calls{0};
  std::string reason;
  std::mutex mutex;
  ASSERT_TRUE(platform::WatchStopRequests([&](const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    reason = why;
    ++calls;
  }));
#ifdef _WIN32
  // As the system asks at logoff, to the hidden top-level window.
  HWND window = nullptr;
  ASSERT_TRUE(Eventually(
      [&] { return (window = FindWindowW(L"NimbraStopRequests", nullptr)) != nullptr; }));
  EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
  EXPECT_EQ(calls, 0) << "asking is not yet ending";
  SendMessageW(window, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(calls, 1) << "the answer waits for the handler";
  EXPECT_EQ(reason, "the session ends");
#else
  raise(SIGTERM);
  ASSERT_TRUE(Eventually([&] { return calls == 1; }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(reason.find("Terminated"), std::string::npos) << reason;
  }
#endif
  platform::StopWatchingStopRequests();
}

}  // namespace
