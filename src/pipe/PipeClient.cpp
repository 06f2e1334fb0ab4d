#include "pipe/PipeClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/Logger.h"

namespace {

const char kExecuteSource[] = "TPipeClient.Execute";
// How often a client waiting for the service looks whether it is to stop.
constexpr int kStopCheckMs = 50;

std::mutex g_observer_mutex;
std::function<void(bool, std::uint32_t)> g_read_observer;

void ObserveRead(bool pending, std::uint32_t count) {
  std::function<void(bool, std::uint32_t)> observer;
  {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    observer = g_read_observer;
  }
  if (observer) observer(pending, count);
}

}  // namespace

TPipeClient::TPipeClient(const std::string& PipeName, const std::string& StartEventName)
    : FPipeName(PipeName), FStartEventName(StartEventName) {}

TPipeClient::~TPipeClient() {
  Terminate();
  FPipe.Interrupt();
  if (platform::IsMainThread()) {
    while (!Finished() && Started()) platform::WaitAndPumpSynchronizedCalls(10);
  }
  WaitFor();
  FPipe.Close();
}

bool TPipeClient::Connect() {
  const std::uint32_t error = FPipe.Open(FPipeName);
  if (error == 0) return true;
  char line[512];
  std::snprintf(line, sizeof line, "CreateFile failed %s", SysErrorText(error).c_str());
  LogMessage(line, kExecuteSource);

  // Without the event the client still retries once a second.
  platform::NamedEvent start_event;
  start_event.OpenOrCreate(FStartEventName);
  using Clock = std::chrono::steady_clock;
  while (!Terminated()) {
    const auto round = Clock::now();
    // In short slices: a client told to stop (the program ending) must not
    // keep the program waiting out the rest of a second.
    bool signalled = false;
    for (int waited = 0; waited < kPipeRetryMs && !signalled && !Terminated();
         waited += kStopCheckMs) {
      signalled = start_event.Wait(std::min(kStopCheckMs, kPipeRetryMs - waited));
    }
    if (Terminated()) break;
    if (FPipe.Open(FPipeName) == 0) return true;
    // A start event that stays set must not turn the retries into a busy
    // loop: at most one attempt a second while the pipe cannot be opened.
    if (signalled) {
      const auto rest = round + std::chrono::milliseconds(kPipeRetryMs) - Clock::now();
      if (rest > Clock::duration::zero()) std::this_thread::sleep_for(rest);
    }
  }
  return false;
}

void TPipeClient::Execute() {
  if (!Connect()) return;
  LogMessage("Connected", kExecuteSource);
  Synchronize([this] { DoConnected(); });

  while (!Terminated()) {
    std::uint32_t count = 0;
    std::uint32_t error = FPipe.BeginRead(FBuffer.data(), kPipeBufferSize, count);
    if (error == platform::PipeIoPending()) {
      ObserveRead(true, 0);
      error = FPipe.FinishRead(count);
      // Cut short by the destructor: nothing went wrong.
      if (error != 0 && Terminated()) break;
      if (error != 0) {
        LogMessage("GetOverlappedResult failed " + SysErrorText(error), kExecuteSource);
        count = 0;
      }
    } else if (error != 0) {
      LogMessage("ReadFile failed " + SysErrorText(error), kExecuteSource);
      break;
    }
    ObserveRead(false, count);
    if (count > 0) {
      FDataSize = count;
      Synchronize([this] { DoResponse(); });
    }
  }
}

void TPipeClient::DoConnected() {
  if (FConnectEvent && !Terminated()) FConnectEvent();
}

void TPipeClient::DoResponse() {
  try {
    if (FResponseEvent && !Terminated()) FResponseEvent(FBuffer.data(), FDataSize);
  } catch (...) {
    // The owner's failure must not end the conversation.
  }
}

bool TPipeClient::SendToServer(std::uint8_t Command, const void* Data, std::uint32_t DataSize) {
  // Compared without adding to DataSize, which could wrap around.
  if (DataSize > kPipeBufferSize - kPipeRecordHeaderSize) {
    LogMessage("Too large DataSize: " + std::to_string(DataSize), "SendToServer");
    return false;
  }
  std::array<std::uint8_t, kPipeBufferSize> record{};
  std::uint8_t header[kPipeRecordHeaderSize];
  EncodePipeRecordHeader(Command, DataSize, header);
  std::memcpy(record.data(), header, kPipeRecordHeaderSize);
  if (DataSize > 0 && Data != nullptr)
    std::memcpy(record.data() + kPipeRecordHeaderSize, Data, DataSize);

  const std::uint32_t error = FPipe.Write(record.data(), kPipeRecordHeaderSize + DataSize,
                                          FWriteStuck ? 0 : kPipeWriteTimeoutMs);
  FWriteStuck = error == platform::PipeTimedOut();
  if (error != 0) {
    LogMessage("WriteFile failed " + SysErrorText(error), "TPipeClient.SendToServer");
    return false;
  }
  return true;
}

void SetPipeClientReadObserverForTesting(
    std::function<void(bool pending, std::uint32_t count)> observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_read_observer = std::move(observer);
}
