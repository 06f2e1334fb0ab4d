#include "PipeServiceStandIn.h"

#include <chrono>

namespace pipeservice {

namespace {

constexpr std::size_t kHeaderSize = 5;
constexpr std::size_t kReadSize = 16384;

int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string EncodeRecord(std::uint8_t command, const std::string& payload) {
  std::string bytes;
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((length >> (8 * i)) & 0xFF);
  bytes += static_cast<char>(command);
  return bytes + payload;
}

std::vector<Record> TakeRecords(std::string& bytes) {
  std::vector<Record> records;
  std::size_t at = 0;
  while (bytes.size() - at >= kHeaderSize) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
      length |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    if (bytes.size() - at - kHeaderSize < length) break;
    records.push_back(
        {static_cast<std::uint8_t>(bytes[at + 4]), bytes.substr(at + kHeaderSize, length)});
    at += kHeaderSize + length;
  }
  bytes.erase(0, at);
  return records;
}

std::string CommandName(std::uint8_t command) {
  switch (command) {
    case 0:
      return "StatusQuery";
    case 1:
      return "StatusReady";
    case 2:
      return "StatusNotReady";
    default:
      return "command " + std::to_string(command);
  }
}

ServiceStandIn::ServiceStandIn(std::string pipe_name, std::string event_name)
    : pipe_name_(std::move(pipe_name)), event_name_(std::move(event_name)) {}

std::uint32_t ServiceStandIn::Create() {
  const std::uint32_t error = pipe_.Create(pipe_name_);
  if (error != 0) return error;
  return start_event_.OpenOrCreate(event_name_);
}

std::uint32_t ServiceStandIn::SignalStart() { return start_event_.Set(); }

std::uint32_t ServiceStandIn::WaitForClient(int timeout_ms) {
  return pipe_.WaitForClient(timeout_ms);
}

std::uint32_t ServiceStandIn::SendQueries(int count) {
  std::string block;
  for (int i = 0; i < count; ++i) block += EncodeRecord(0);
  return SendBlock(block);
}

std::uint32_t ServiceStandIn::SendBlock(const std::string& bytes) {
  return pipe_.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 30000);
}

std::uint32_t ServiceStandIn::ReadRecords(std::size_t count, int timeout_ms,
                                          std::vector<Record>& out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::size_t added = 0;
  for (;;) {
    for (Record& record : TakeRecords(received_)) records_.push_back(std::move(record));
    while (!records_.empty() && added < count) {
      out.push_back(std::move(records_.front()));
      records_.pop_front();
      ++added;
    }
    if (added >= count) return 0;
    const std::uint32_t error = pipe_.Read(received_, kReadSize, Remaining(deadline));
    if (error != 0) return error;
  }
}

std::uint32_t ServiceStandIn::ReadBytes(std::size_t count, int timeout_ms, std::string& out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (received_.size() < count) {
    const std::uint32_t error = pipe_.Read(received_, kReadSize, Remaining(deadline));
    if (error != 0) return error;
  }
  out = received_.substr(0, count);
  received_.erase(0, count);
  return 0;
}

void ServiceStandIn::ClosePipe() { pipe_.Close(); }

}  // namespace pipeservice
