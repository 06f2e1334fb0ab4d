#include "pipe/PipeProtocol.h"

namespace {

std::uint32_t ReadLength(const unsigned char* bytes) {
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  return length;
}

}  // namespace

void EncodePipeRecordHeader(std::uint8_t Command, std::uint32_t DataSize,
                            std::uint8_t (&Header)[kPipeRecordHeaderSize]) {
  for (int i = 0; i < 4; ++i) Header[i] = static_cast<std::uint8_t>(DataSize >> (8 * i));
  Header[4] = Command;
}

std::string EncodePipeRecord(std::uint8_t Command, const std::string& Payload) {
  std::uint8_t header[kPipeRecordHeaderSize];
  EncodePipeRecordHeader(Command, static_cast<std::uint32_t>(Payload.size()), header);
  return std::string(reinterpret_cast<const char*>(header), kPipeRecordHeaderSize) + Payload;
}

void WalkPipeRecords(const void* Data, std::uint32_t DataSize,
                     const std::function<void(std::uint8_t command)>& OnRecord) {
  const auto* bytes = static_cast<const unsigned char*>(Data);
  if (bytes == nullptr) return;
  // 64-bit arithmetic: a huge length field ends the walk instead of wrapping
  // it back into the block.
  std::uint64_t offset = 0;
  while (offset + kPipeRecordHeaderSize <= DataSize) {
    const std::uint32_t length = ReadLength(bytes + offset);
    OnRecord(bytes[offset + 4]);
    offset += kPipeRecordHeaderSize + std::uint64_t{length};
  }
}

int AnswerStatusQueries(const void* Data, std::uint32_t DataSize, std::uint8_t Answer,
                        const std::function<bool(std::uint8_t answer)>& Send) {
  int answered = 0;
  WalkPipeRecords(Data, DataSize, [&](std::uint8_t command) {
    if (command == StatusQuery && Send(Answer)) ++answered;
  });
  return answered;
}

std::vector<TPipeRecord> TakePipeRecords(std::string& Bytes, std::uint32_t MaxPayload,
                                         bool* Malformed) {
  std::vector<TPipeRecord> records;
  std::size_t at = 0;
  while (Bytes.size() - at >= kPipeRecordHeaderSize) {
    const std::uint32_t length =
        ReadLength(reinterpret_cast<const unsigned char*>(Bytes.data() + at));
    if (length > MaxPayload) {
      if (Malformed != nullptr) *Malformed = true;
      break;
    }
    if (Bytes.size() - at - kPipeRecordHeaderSize < length) break;
    records.push_back({static_cast<std::uint8_t>(Bytes[at + 4]),
                       Bytes.substr(at + kPipeRecordHeaderSize, length)});
    at += kPipeRecordHeaderSize + length;
  }
  Bytes.erase(0, at);
  return records;
}

std::string PipeCommandName(std::uint8_t Command) {
  switch (Command) {
    case StatusQuery:
      return "StatusQuery";
    case StatusReady:
      return "StatusReady";
    case StatusNotReady:
      return "StatusNotReady";
    default:
      return "command " + std::to_string(Command);
  }
}
