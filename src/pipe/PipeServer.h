// The service's end of the pipe: it owns the pipe and the start event, sends
// records in blocks and collects the program's answers as records.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "pipe/PipeProtocol.h"
#include "platform/Pipe.h"

class TPipeServer {
 public:
  TPipeServer(std::string PipeName, std::string StartEventName);

  // Creates the pipe (failing when another owner has the name already) and
  // opens, or creates, the start event.
  std::uint32_t Create();
  // Sets the start event so that a waiting client tries the pipe at once.
  std::uint32_t SignalStart();
  std::uint32_t WaitForClient(int TimeoutMs);

  // Sends `Count` status queries as one block.
  std::uint32_t SendQueries(int Count);
  // Sends raw bytes as one block (zero bytes make an empty block).
  std::uint32_t SendBlock(const std::string& Bytes);

  // Reads until `Count` records have arrived (or the time runs out, or the
  // client goes) and hands them over; extra records stay for the next call.
  std::uint32_t ReadRecords(std::size_t Count, int TimeoutMs, std::vector<TPipeRecord>& Out);
  // Reads exactly `Count` raw bytes (not to be mixed with ReadRecords).
  std::uint32_t ReadBytes(std::size_t Count, int TimeoutMs, std::string& Out);

  // Closes the service's end of the pipe.
  void ClosePipe();

 private:
  std::string FPipeName;
  std::string FStartEventName;
  platform::PipeServerEnd FPipe;
  platform::NamedEvent FStartEvent;
  std::string FReceived;
  std::deque<TPipeRecord> FRecords;
};
