#include "pipe/PipeServer.h"

#include <chrono>

namespace {

constexpr std::size_t kReadSize = 16384;
// A block of queries is small; the program takes it at once or not at all.
constexpr int kSendTimeoutMs = 30000;

int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TPipeServer::TPipeServer(std::string PipeName, std::string StartEventName)
    : FPipeName(std::move(PipeName)), FStartEventName(std::move(StartEventName)) {}

std::uint32_t TPipeServer::Create() {
  const std::uint32_t error = FPipe.Create(FPipeName);
  if (error != 0) return error;
  return FStartEvent.OpenOrCreate(FStartEventName);
}

std::uint32_t TPipeServer::CreatePipeOnly() { return FPipe.Create(FPipeName); }

std::uint32_t TPipeServer::SignalStart() { return FStartEvent.Set(); }

std::uint32_t TPipeServer::WaitForClient(int TimeoutMs) { return FPipe.WaitForClient(TimeoutMs); }

std::uint32_t TPipeServer::SendQueries(int Count) {
  std::string block;
  for (int i = 0; i < Count; ++i) block += EncodePipeRecord(StatusQuery);
  return SendBlock(block);
}

std::uint32_t TPipeServer::SendBlock(const std::string& Bytes, int TimeoutMs) {
  return FPipe.Write(Bytes.data(), static_cast<std::uint32_t>(Bytes.size()),
                     TimeoutMs < 0 ? kSendTimeoutMs : TimeoutMs);
}

std::uint32_t TPipeServer::ReadRecords(std::size_t Count, int TimeoutMs,
                                       std::vector<TPipeRecord>& Out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  std::size_t added = 0;
  for (;;) {
    for (TPipeRecord& record : TakePipeRecords(FReceived)) FRecords.push_back(std::move(record));
    while (!FRecords.empty() && added < Count) {
      Out.push_back(std::move(FRecords.front()));
      FRecords.pop_front();
      ++added;
    }
    if (added >= Count) return 0;
    const std::uint32_t error = FPipe.Read(FReceived, kReadSize, Remaining(deadline));
    if (error != 0) return error;
  }
}

std::uint32_t TPipeServer::ReadBytes(std::size_t Count, int TimeoutMs, std::string& Out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (FReceived.size() < Count) {
    const std::uint32_t error = FPipe.Read(FReceived, kReadSize, Remaining(deadline));
    if (error != 0) return error;
  }
  Out = FReceived.substr(0, Count);
  FReceived.erase(0, Count);
  return 0;
}

std::uint32_t TPipeServer::Receive(int TimeoutMs, std::uint32_t MaxPayload,
                                   std::vector<TPipeRecord>& Out, bool& Malformed) {
  const std::uint32_t error = FPipe.Read(FReceived, kReadSize, TimeoutMs);
  if (error != 0 && error != platform::PipeTimedOut()) return error;
  for (TPipeRecord& record : TakePipeRecords(FReceived, MaxPayload, &Malformed))
    Out.push_back(std::move(record));
  return 0;
}

void TPipeServer::Disconnect() {
  FPipe.Disconnect();
  FReceived.clear();
  FRecords.clear();
}

std::uint32_t TPipeServer::ResetStart() { return FStartEvent.Reset(); }

void TPipeServer::ClosePipe() { FPipe.Close(); }
