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
  // Creates the pipe alone, for a pipe without a start event.
  std::uint32_t CreatePipeOnly();
  // Sets the start event so that a waiting client tries the pipe at once.
  std::uint32_t SignalStart();
  std::uint32_t WaitForClient(int TimeoutMs);

  // Sends `Count` status queries as one block.
  std::uint32_t SendQueries(int Count);
  // Sends raw bytes as one block (zero bytes make an empty block), waiting
  // at most TimeoutMs (< 0: the default half minute) for the client to take it.
  std::uint32_t SendBlock(const std::string& Bytes, int TimeoutMs = -1);

  // Reads until `Count` records have arrived (or the time runs out, or the
  // client goes) and hands them over; extra records stay for the next call.
  std::uint32_t ReadRecords(std::size_t Count, int TimeoutMs, std::vector<TPipeRecord>& Out);
  // Reads exactly `Count` raw bytes (not to be mixed with ReadRecords).
  std::uint32_t ReadBytes(std::size_t Count, int TimeoutMs, std::string& Out);

  // Waits up to TimeoutMs for what the client sends and hands over the
  // complete records that have come (none when the time ran out, which is
  // no error); a partial record waits for the rest. A record whose payload
  // would be longer than MaxPayload sets Malformed, and nothing after it is
  // taken. PipeBroken() once the client has gone.
  std::uint32_t Receive(int TimeoutMs, std::uint32_t MaxPayload, std::vector<TPipeRecord>& Out,
                        bool& Malformed);

  // Drops the client, and what it sent, and keeps the pipe for the next.
  void Disconnect();
  bool Connected() const { return FPipe.Connected(); }
  // The connected client's process id; 0 when unknown.
  std::uint32_t ClientProcessId() const { return FPipe.ClientProcessId(); }
  // Clears the start event: the service is going.
  std::uint32_t ResetStart();

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
