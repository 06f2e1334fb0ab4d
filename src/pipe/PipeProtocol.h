// The companion service's pipe: its names, its records and its commands,
// the one description both ends use.
//
// Record: 4-byte little-endian payload length L, 1-byte command, L bytes of
// payload; records lie end to end. One read delivers one block of at most
// kPipeBufferSize bytes; a block written larger than that arrives as several
// blocks, and records are not joined across blocks by the program's end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Commands of the status conversation.
inline constexpr std::uint8_t StatusQuery = 0;     // service to program
inline constexpr std::uint8_t StatusReady = 1;     // anonymity on, engine at 100 percent
inline constexpr std::uint8_t StatusNotReady = 2;  // off, or still bootstrapping

// The names of the service's pipe and start event.
inline constexpr char kServicePipeName[] =
    "\\\\.\\PIPE\\Nimbra {B9FD8848-334C-40C4-AD68-6AD3B034828B}";
inline constexpr char kServiceStartEventName[] =
    "Global\\QxServCommEvent {F1927B38-2E46-4E02-95E7-72B752173EC9}";

inline constexpr std::uint32_t kPipeBufferSize = 10240;
inline constexpr std::uint32_t kPipeRecordHeaderSize = 5;

struct TPipeRecord {
  std::uint8_t Command = 0;
  std::string Payload;
};

// One record as it travels.
std::string EncodePipeRecord(std::uint8_t Command, const std::string& Payload = "");
// Writes the header of a record with `DataSize` bytes of payload.
void EncodePipeRecordHeader(std::uint8_t Command, std::uint32_t DataSize,
                            std::uint8_t (&Header)[kPipeRecordHeaderSize]);

// Walks the records of one block in order: calls OnRecord with the command
// of each record whose header lies in the block. A tail shorter than a
// header is ignored; a record whose payload runs past the end of the block
// ends the walk after it is reported. Lengths near 2^32 cannot wrap around.
void WalkPipeRecords(const void* Data, std::uint32_t DataSize,
                     const std::function<void(std::uint8_t command)>& OnRecord);

// Answers each status query of a block, in order, with `Answer`, through
// `Send`; returns how many queries it answered.
int AnswerStatusQueries(const void* Data, std::uint32_t DataSize, std::uint8_t Answer,
                        const std::function<bool(std::uint8_t answer)>& Send);

// Takes the complete records from the front of a stream of bytes (the
// service's end, which reads a stream); a partial record stays for more
// bytes to complete it. A record longer than `MaxPayload` is not waited
// for: it sets `Malformed` and nothing more is taken.
std::vector<TPipeRecord> TakePipeRecords(std::string& Bytes,
                                         std::uint32_t MaxPayload = kPipeBufferSize,
                                         bool* Malformed = nullptr);

// "StatusQuery", "StatusReady", "StatusNotReady" or "command <n>".
std::string PipeCommandName(std::uint8_t Command);
