#include "service/ControlChannel.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <vector>

#include "base/Logger.h"
#include "platform/Pipe.h"
#include "service/ServiceNames.h"

namespace {

const char kSource[] = "ControlChannel";
constexpr int kSliceMs = 100;
// An asker that says nothing this long is dropped.
constexpr int kAskerPatienceMs = 5000;
constexpr std::uint32_t kMaxPayload = 64;

using TClock = std::chrono::steady_clock;

}  // namespace

TControlChannel::TControlChannel(std::string PipeName)
    : FPipeName(std::move(PipeName)), FServer(FPipeName, "") {}

TControlChannel::~TControlChannel() {
  FQuit = true;
  if (FThread.joinable()) FThread.join();
}

std::uint32_t TControlChannel::Open() {
  // The pipe alone: the control channel has no start event.
  return FServer.CreatePipeOnly();
}

void TControlChannel::Start(std::function<void(std::uint32_t)> OnStop) {
  FOnStop = std::move(OnStop);
  FThread = std::thread([this] { Serve(); });
}

void TControlChannel::Serve() {
  while (!FQuit) {
    const std::uint32_t error = FServer.WaitForClient(kSliceMs);
    if (error == platform::PipeTimedOut()) continue;
    if (error != 0) {
      FServer.Disconnect();
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    const std::uint32_t pid = FServer.ClientProcessId();
    const auto give_up = TClock::now() + std::chrono::milliseconds(kAskerPatienceMs);
    bool keep = false;
    while (!FQuit && TClock::now() < give_up) {
      std::vector<TPipeRecord> records;
      bool malformed = false;
      const std::uint32_t read = FServer.Receive(kSliceMs, kMaxPayload, records, malformed);
      bool done = malformed || read != 0;
      for (const TPipeRecord& record : records) {
        if (record.Command == kControlPing) {
          FServer.SendBlock(EncodePipeRecord(kControlPong), 1000);
        } else if (record.Command == kControlStop) {
          LogMessage("Process " + std::to_string(pid) + " asks the service to end", kSource);
          FServer.SendBlock(EncodePipeRecord(kControlStopping), 1000);
          keep = true;
          done = true;
          break;
        }
      }
      if (done) break;
    }
    if (keep) {
      // The asker waits for "stopped"; nothing else is served from now on.
      FStopAsked = true;
      if (FOnStop) FOnStop(pid);
      return;
    }
    FServer.Disconnect();
  }
}

void TControlChannel::Finish() {
  FQuit = true;
  if (FThread.joinable()) FThread.join();
  if (FStopAsked) FServer.SendBlock(EncodePipeRecord(kControlStopped), 1000);
  // The asker sees the pipe close as this process ends.
}

namespace {

// One client conversation: records in, with a deadline.
class TAsker {
 public:
  std::uint32_t Open(const std::string& PipeName, TClock::time_point Deadline) {
    // Another asker may hold the pipe for a moment: busy, try again.
    for (;;) {
      const std::uint32_t error = FPipe.Open(PipeName);
      if (error == 0) return 0;
      if (TClock::now() >= Deadline || error != platform::PipeBusy()) return error;
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
  }
  bool Send(std::uint8_t Command) {
    const std::string record = EncodePipeRecord(Command);
    return FPipe.Write(record.data(), static_cast<std::uint32_t>(record.size()), 2000) == 0;
  }
  // The next record, or nothing when the pipe closed (`Closed`) or the time
  // ran out.
  bool Next(TClock::time_point Deadline, TPipeRecord& Record, bool& Closed) {
    Closed = false;
    for (;;) {
      std::string copy = FBytes;
      std::vector<TPipeRecord> records = TakePipeRecords(copy, kMaxPayload);
      if (!records.empty()) {
        Record = records.front();
        FBytes.erase(0, kPipeRecordHeaderSize + Record.Payload.size());
        return true;
      }
      if (TClock::now() >= Deadline) return false;
      std::uint32_t count = 0;
      std::uint32_t error = FPipe.BeginRead(FBuffer.data(), kPipeBufferSize, count);
      if (error == platform::PipeIoPending()) {
        // The read has no time limit of its own: a timer interrupts it.
        std::mutex mutex;
        std::condition_variable woken;
        bool finished = false;
        std::thread timer([&] {
          std::unique_lock<std::mutex> lock(mutex);
          if (!woken.wait_until(lock, Deadline, [&] { return finished; })) FPipe.Interrupt();
        });
        error = FPipe.FinishRead(count);
        {
          std::lock_guard<std::mutex> lock(mutex);
          finished = true;
        }
        woken.notify_all();
        timer.join();
        if (error != 0 && TClock::now() >= Deadline) return false;
      }
      if (error != 0) {
        Closed = true;
        return false;
      }
      FBytes.append(reinterpret_cast<const char*>(FBuffer.data()), count);
    }
  }

 private:
  platform::PipeClientEnd FPipe;
  std::array<std::uint8_t, kPipeBufferSize> FBuffer{};
  std::string FBytes;
};

}  // namespace

TStopResult AskServiceToStop(const std::string& PipeName, int TimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  TAsker asker;
  if (asker.Open(PipeName, deadline) != 0) return TStopResult::NotRunning;
  if (!asker.Send(kControlStop)) return TStopResult::NotRunning;
  bool stopping = false;
  bool stopped = false;
  for (;;) {
    TPipeRecord record;
    bool closed = false;
    if (!asker.Next(deadline, record, closed)) {
      if (closed && stopped) return TStopResult::Stopped;
      if (closed && !stopping) return TStopResult::NotRunning;
      return TStopResult::NotStopped;
    }
    if (record.Command == kControlStopping) stopping = true;
    if (record.Command == kControlStopped) stopped = true;
  }
}

bool ServiceAnswers(const std::string& PipeName, int TimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  TAsker asker;
  if (asker.Open(PipeName, deadline) != 0 || !asker.Send(kControlPing)) return false;
  TPipeRecord record;
  bool closed = false;
  while (asker.Next(deadline, record, closed)) {
    if (record.Command == kControlPong) return true;
  }
  return false;
}
