// A stand-in for the companion service: it owns the pipe and the start
// event, sends status queries in blocks and collects the answers. Used by
// the pipeservice program and, in-process, by the tests.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/Pipe.h"

namespace pipeservice {

struct Record {
  std::uint8_t command = 0;
  std::string payload;
};

// One record as it travels: length (4 bytes, little-endian), command, payload.
std::string EncodeRecord(std::uint8_t command, const std::string& payload = "");
// Takes the complete records from the front of `bytes`; a partial record
// stays there for more bytes to complete it.
std::vector<Record> TakeRecords(std::string& bytes);
// "StatusQuery", "StatusReady", "StatusNotReady" or "command <n>".
std::string CommandName(std::uint8_t command);

class ServiceStandIn {
 public:
  ServiceStandIn(std::string pipe_name, std::string event_name);

  // Creates the pipe and opens (or creates) the start event.
  std::uint32_t Create();
  // Sets the start event so that a waiting client tries the pipe at once.
  std::uint32_t SignalStart();
  std::uint32_t WaitForClient(int timeout_ms);

  // Sends `count` status queries as one block.
  std::uint32_t SendQueries(int count);
  // Sends raw bytes as one block (zero bytes make an empty block).
  std::uint32_t SendBlock(const std::string& bytes);

  // Reads until `count` records have arrived (or the time runs out, or the
  // client goes) and hands them over; extra records stay for the next call.
  std::uint32_t ReadRecords(std::size_t count, int timeout_ms, std::vector<Record>& out);
  // Reads exactly `count` raw bytes (not to be mixed with ReadRecords).
  std::uint32_t ReadBytes(std::size_t count, int timeout_ms, std::string& out);

  // Closes the service's end of the pipe.
  void ClosePipe();

 private:
  std::string pipe_name_;
  std::string event_name_;
  platform::PipeServerEnd pipe_;
  platform::NamedEvent start_event_;
  std::string received_;
  std::deque<Record> records_;
};

}  // namespace pipeservice
