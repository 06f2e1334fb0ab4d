#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "pipe/PipeClient.h"
#include "pipe/PipeServer.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "support/TestSupport.h"

namespace {

constexpr int kGenerousMs = 30000;

bool PumpUntilDone(const std::function<bool()>& done) {
  return test_support::PumpUntil(done, kGenerousMs);
}

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(++counter);
}

class PipeClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    const std::string suffix = UniqueSuffix();
    pipe_name_ = "\\\\.\\PIPE\\NimbraTest {" + suffix + "}";
    event_name_ = "Global\\NimbraTestStart {" + suffix + "}";
    SetPipeClientReadObserverForTesting([this](bool pending, std::uint32_t count) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending) {
        ++pending_reads_;
      } else {
        read_counts_.push_back(count);
      }
    });
  }
  void TearDown() override {
    SetPipeClientReadObserverForTesting({});
    InitLog(false);
  }

  // The log's lines without their time stamps.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    const std::string text = test_support::ReadFileOrMissing(LogFileName());
    if (text == "<missing>") return lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = text.substr(start, end - start);
      const std::size_t after_date = line.find(' ');
      const std::size_t after_time = line.find(' ', after_date + 1);
      lines.push_back(line.substr(after_time + 1));
    }
    return lines;
  }
  bool LogHas(const std::string& prefix) const {
    for (const std::string& line : LogLines()) {
      if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }
  int PendingReads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_reads_;
  }
  std::vector<std::uint32_t> ReadCounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return read_counts_;
  }

  // A client that answers every status query of a block with the next state
  // of `states`, as the owner of the program does with its own state.
  void AnswerQueries(TPipeClient& client, const std::vector<std::uint8_t>& states) {
    client.SetOnResponse([this, &client, states](const void* data, std::uint32_t size) {
      blocks_.push_back(std::string(static_cast<const char*>(data), size));
      handler_threads_.push_back(std::this_thread::get_id());
      std::string bytes(static_cast<const char*>(data), size);
      for (const TPipeRecord& record : TakePipeRecords(bytes)) {
        if (record.Command != StatusQuery) continue;
        const std::uint8_t answer = states[answered_++ % states.size()];
        EXPECT_TRUE(client.SendToServer(answer, nullptr, 0));
      }
    });
  }

  test_support::IsolatedSystem system_;
  std::string pipe_name_;
  std::string event_name_;
  std::mutex mutex_;
  int pending_reads_ = 0;
  std::vector<std::uint32_t> read_counts_;
  std::vector<std::string> blocks_;
  std::vector<std::thread::id> handler_threads_;
  std::size_t answered_ = 0;
};

TEST_F(PipeClientTest, QueriesInOneBlockAreAnsweredInOrderOnTheWindowThread) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  AnswerQueries(client, {StatusReady, StatusNotReady, StatusReady});
  std::thread::id connected_on;
  client.SetOnConnected([&] { connected_on = std::this_thread::get_id(); });
  client.Start();

  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return connected_on != std::thread::id(); }));
  EXPECT_EQ(connected_on, std::this_thread::get_id());

  ASSERT_EQ(service.SendQueries(3), 0u);
  std::vector<TPipeRecord> answers;
  std::thread reader([&] { EXPECT_EQ(service.ReadRecords(3, kGenerousMs, answers), 0u); });
  ASSERT_TRUE(PumpUntilDone([&] { return blocks_.size() == 1; }));
  reader.join();

  EXPECT_EQ(blocks_[0].size(), 15u) << "three records arrive as one block";
  EXPECT_EQ(handler_threads_[0], std::this_thread::get_id());
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].Command, StatusReady);
  EXPECT_EQ(answers[1].Command, StatusNotReady);
  EXPECT_EQ(answers[2].Command, StatusReady);
  for (const TPipeRecord& answer : answers) EXPECT_TRUE(answer.Payload.empty());
  EXPECT_TRUE(LogHas("TPipeClient.Execute: Connected"));
  EXPECT_FALSE(LogHas("TPipeClient.Execute: CreateFile failed"));
}

TEST_F(PipeClientTest, EmptyReadDispatchesNothingAndHandlerErrorsAreSwallowed) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  int calls = 0;
  std::vector<std::uint32_t> sizes;
  client.SetOnResponse([&](const void*, std::uint32_t size) {
    sizes.push_back(size);
    if (++calls == 1) throw std::runtime_error("the owner failed");
  });
  client.Start();
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);

  ASSERT_EQ(service.SendBlock(""), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return !ReadCounts().empty(); }));
  EXPECT_EQ(ReadCounts()[0], 0u) << "the empty block is read as zero bytes";
  ASSERT_EQ(service.SendQueries(1), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return calls == 1; }));
  ASSERT_EQ(service.SendQueries(2), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return calls == 2; }));

  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{5, 10})) << "nothing for the empty read";
  for (const std::string& line : LogLines()) EXPECT_EQ(line.find("failed"), std::string::npos);
}

TEST_F(PipeClientTest, RecordsAreFramedAndOversizedPayloadsRefused) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  // Not yet connected: the write fails and is logged.
  EXPECT_FALSE(client.SendToServer(StatusReady, nullptr, 0));
  EXPECT_TRUE(LogHas("TPipeClient.SendToServer: WriteFile failed Error "));

  bool connected = false;
  client.SetOnConnected([&] { connected = true; });
  client.Start();
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return connected; }));

  ASSERT_TRUE(client.SendToServer(StatusNotReady, nullptr, 0));
  std::string bytes;
  ASSERT_EQ(service.ReadBytes(5, kGenerousMs, bytes), 0u);
  EXPECT_EQ(bytes, std::string("\0\0\0\0\2", 5));

  std::string payload(10235, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 1);
  ASSERT_TRUE(client.SendToServer(9, payload.data(), 10235));
  ASSERT_EQ(service.ReadBytes(10240, kGenerousMs, bytes), 0u);
  EXPECT_EQ(bytes.substr(0, 5), std::string("\xFB\x27\0\0\x09", 5));
  EXPECT_TRUE(bytes.substr(5) == payload);

  // Refused before anything is written; sizes near 2^32 must not wrap
  // around the check.
  EXPECT_FALSE(client.SendToServer(9, payload.data(), 10236));
  EXPECT_TRUE(LogHas("SendToServer: Too large DataSize: 10236"));
  EXPECT_FALSE(client.SendToServer(9, payload.data(), 0xFFFFFFFCu));
  EXPECT_TRUE(LogHas("SendToServer: Too large DataSize: 4294967292"));
  EXPECT_FALSE(client.SendToServer(9, payload.data(), 0xFFFFFFFFu));

  // Nothing of the refused records reached the service.
  ASSERT_TRUE(client.SendToServer(StatusReady, nullptr, 0));
  ASSERT_EQ(service.ReadBytes(5, kGenerousMs, bytes), 0u);
  EXPECT_EQ(bytes, std::string("\0\0\0\0\1", 5));
}

TEST_F(PipeClientTest, TerminatedWhileWaitingForTheServiceItEndsWithoutConnecting) {
  TPipeClient client(pipe_name_, event_name_);
  client.Start();
  ASSERT_TRUE(
      PumpUntilDone([&] { return LogHas("TPipeClient.Execute: CreateFile failed Error "); }));
  // Well inside a wait for the start event: the stop must not wait it out
  // (the program's exit waits for this).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto told = std::chrono::steady_clock::now();
  client.Terminate();
  ASSERT_TRUE(PumpUntilDone([&] { return client.Finished(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - told, std::chrono::milliseconds(kPipeRetryMs / 2));
  EXPECT_FALSE(LogHas("TPipeClient.Execute: Connected"));
  EXPECT_EQ(LogLines().size(), 1u) << "retries are not logged";
}

TEST_F(PipeClientTest, ServiceStartedLaterIsFoundThroughTheStartEvent) {
  TPipeClient client(pipe_name_, event_name_);
  bool connected = false;
  client.SetOnConnected([&] { connected = true; });
  client.Start();
  ASSERT_TRUE(
      PumpUntilDone([&] { return LogHas("TPipeClient.Execute: CreateFile failed Error "); }));

  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  ASSERT_EQ(service.SignalStart(), 0u);
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return connected; }));
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "TPipeClient.Execute: Connected");
}

TEST_F(PipeClientTest, ServiceClosingItsEndStopsTheClientForGood) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  AnswerQueries(client, {StatusNotReady});
  client.Start();
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return PendingReads() >= 1; }));

  service.ClosePipe();
  ASSERT_TRUE(PumpUntilDone([&] { return client.Finished(); })) << "ends without being told";
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "TPipeClient.Execute: Connected");
  EXPECT_EQ(lines[1].rfind("TPipeClient.Execute: GetOverlappedResult failed Error ", 0), 0u)
      << lines[1];
  EXPECT_EQ(lines[2].rfind("TPipeClient.Execute: ReadFile failed Error ", 0), 0u) << lines[2];

  // A service that comes back is not served by this client any more.
  TPipeServer again(pipe_name_, event_name_);
  ASSERT_EQ(again.Create(), 0u);
  again.SignalStart();
  EXPECT_NE(again.WaitForClient(300), 0u);
  EXPECT_TRUE(blocks_.empty());
}

TEST_F(PipeClientTest, DestroyingAConnectedClientInterruptsItsRead) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  {
    TPipeClient client(pipe_name_, event_name_);
    client.Start();
    ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);
    ASSERT_TRUE(PumpUntilDone([&] { return PendingReads() >= 1; }));
  }
  EXPECT_FALSE(LogHas("TPipeClient.Execute: GetOverlappedResult failed"));
  std::string nothing;
  EXPECT_EQ(service.ReadBytes(1, kGenerousMs, nothing), platform::PipeBroken());
}

TEST(WalkPipeRecordsTest, RecordsInOrderAndHostileLengthsEndTheWalk) {
  auto walk = [](const std::string& block) {
    std::vector<int> commands;
    WalkPipeRecords(block.data(), static_cast<std::uint32_t>(block.size()),
                    [&](std::uint8_t command) { commands.push_back(command); });
    return commands;
  };
  EXPECT_EQ(walk(EncodePipeRecord(0) + EncodePipeRecord(7, "payload") + EncodePipeRecord(0)),
            (std::vector<int>{0, 7, 0}));
  EXPECT_EQ(walk(EncodePipeRecord(0) + std::string(4, '\0')), (std::vector<int>{0}))
      << "a tail shorter than a header";
  // 5 + 0xFFFFFFFB is 0 in 32 bits: the walk must still move on, and end.
  EXPECT_EQ(
      walk(EncodePipeRecord(0) + std::string("\xFB\xFF\xFF\xFF\x00", 5) + EncodePipeRecord(0)),
      (std::vector<int>{0, 0}));
  EXPECT_EQ(walk(std::string("\xFF\xFF\xFF\xFF\x02", 5) + EncodePipeRecord(0)),
            (std::vector<int>{2}));
  EXPECT_EQ(walk(std::string("\x09\x00\x00\x00\x00xx", 7) + EncodePipeRecord(0)),
            (std::vector<int>{0}))
      << "a payload running past the block ends it";
  EXPECT_TRUE(walk("").empty());
  std::vector<int> none;
  WalkPipeRecords(nullptr, 10, [&](std::uint8_t command) { none.push_back(command); });
  EXPECT_TRUE(none.empty());
}

TEST_F(PipeClientTest, BlockLargerThanTheBufferArrivesInPieces) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  client.SetOnResponse([this](const void* data, std::uint32_t size) {
    blocks_.push_back(std::string(static_cast<const char*>(data), size));
  });
  client.Start();
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);

  std::string block;
  for (std::size_t i = 0; i < 25000; ++i) block += static_cast<char>(i * 13 + i / 251);
  // From a thread of its own: the write may wait for the client's reads,
  // which wait for this thread to run their handlers.
  std::thread writer([&] { EXPECT_EQ(service.SendBlock(block), 0u); });
  ASSERT_TRUE(PumpUntilDone([&] {
    std::size_t total = 0;
    for (const std::string& b : blocks_) total += b.size();
    return total >= block.size();
  }));
  writer.join();
  ASSERT_EQ(blocks_.size(), 3u);
  EXPECT_EQ(blocks_[0].size(), 10240u);
  EXPECT_EQ(blocks_[1].size(), 10240u);
  EXPECT_EQ(blocks_[2].size(), 4520u);
  EXPECT_TRUE(blocks_[0] + blocks_[1] + blocks_[2] == block) << "nothing lost or reordered";
  for (const std::string& line : LogLines()) EXPECT_EQ(line.find("failed"), std::string::npos);

  // The client reads on: the next block is its own.
  ASSERT_EQ(service.SendQueries(2), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return blocks_.size() == 4; }));
  EXPECT_EQ(blocks_[3].size(), 10u);
}

TEST_F(PipeClientTest, ServiceThatNeverReadsCostsOneBoundedWait) {
  TPipeServer service(pipe_name_, event_name_);
  ASSERT_EQ(service.Create(), 0u);
  TPipeClient client(pipe_name_, event_name_);
  int sent = 0;
  int refused = 0;
  int blocks = 0;
  client.SetOnResponse([&](const void* data, std::uint32_t size) {
    ++blocks;
    WalkPipeRecords(data, size, [&](std::uint8_t command) {
      if (command != StatusQuery) return;
      if (client.SendToServer(StatusNotReady, nullptr, 0)) {
        ++sent;
      } else {
        ++refused;
      }
    });
  });
  client.Start();
  ASSERT_EQ(service.WaitForClient(kGenerousMs), 0u);

  // Queries in full blocks, none of the answers read: the pipe fills up.
  std::thread flood([&] {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(service.SendQueries(2000), 0u);
  });
  ASSERT_TRUE(PumpUntilDone([&] { return blocks == 3; })) << "the window thread kept going";
  flood.join();
  EXPECT_EQ(sent + refused, 6000);
  EXPECT_GT(refused, 0);
  int failed_lines = 0;
  for (const std::string& line : LogLines()) {
    if (line.rfind("TPipeClient.SendToServer: WriteFile failed Error ", 0) == 0) ++failed_lines;
  }
  EXPECT_EQ(failed_lines, refused);

  // Once the service reads again, answers go through again.
  std::vector<TPipeRecord> answers;
  ASSERT_EQ(service.ReadRecords(static_cast<std::size_t>(sent), kGenerousMs, answers), 0u);
  ASSERT_EQ(service.SendQueries(1), 0u);
  ASSERT_TRUE(PumpUntilDone([&] { return blocks == 4; }));
  EXPECT_EQ(refused + sent, 6001);
  answers.clear();
  EXPECT_EQ(service.ReadRecords(1, kGenerousMs, answers), 0u);
  EXPECT_EQ(answers.size(), 1u);
}

#ifndef _WIN32
// The POSIX event stand-in lies in a folder anyone may write to: whatever
// another user does to its file must not harm the process.
TEST(NamedEventFileTest, HostileFilesAreRefusedAndTruncationIsHarmless) {
  test_support::TempFolder folder;
  platform::SetEnvironmentValue("NIMBRA_NAMED_OBJECTS", folder.Path());
  const std::string file = folder / "nimbra-event.Global_E";

  {
    platform::NamedEvent event;
    ASSERT_EQ(event.OpenOrCreate("Global\\E"), 0u);
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = event.Wait(kGenerousMs); });
    std::filesystem::resize_file(file, 0);  // while the waiter looks at it
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(woke);
    ASSERT_EQ(event.Set(), 0u) << "a truncated word is written again";
    waiter.join();
    EXPECT_TRUE(woke);
    std::filesystem::resize_file(file, 2);
    EXPECT_FALSE(event.Wait(0)) << "a short word reads as not set";
  }
  std::filesystem::remove(file);

  const std::string victim = folder / "victim";
  test_support::WriteFileForTest(victim, "keep");
  std::filesystem::create_symlink(victim, file);
  platform::NamedEvent linked;
  EXPECT_NE(linked.OpenOrCreate("Global\\E"), 0u) << "a link is not followed";
  std::filesystem::remove(file);

  std::filesystem::create_hard_link(victim, file);
  EXPECT_NE(linked.OpenOrCreate("Global\\E"), 0u) << "nor a second name of another file";
  std::filesystem::remove(file);

  test_support::WriteFileForTest(file, std::string(100, 'x'));
  EXPECT_NE(linked.OpenOrCreate("Global\\E"), 0u) << "nor a file that is no event";
  EXPECT_FALSE(linked.IsOpen());
  EXPECT_EQ(test_support::ReadFileOrMissing(victim), "keep");
  platform::SetEnvironmentValue("NIMBRA_NAMED_OBJECTS", "");
}
#endif

}  // namespace
