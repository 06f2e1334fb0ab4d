// The program's end of the companion service's named pipe: a thread that
// connects, reads blocks of framed records and hands each block to its owner
// on the window thread; the owner writes its answers with SendToServer.
//
// Record: 4-byte little-endian payload length L, 1-byte command, L bytes of
// payload; records lie end to end, and one read delivers one block of at
// most kPipeBufferSize bytes. A block the service writes larger than that
// arrives as several blocks (10240 bytes each, the rest in the last), on
// every platform; records are not joined across blocks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Pipe.h"
#include "platform/Thread.h"

// Commands of the status conversation.
inline constexpr std::uint8_t StatusQuery = 0;     // service to client
inline constexpr std::uint8_t StatusReady = 1;     // anonymity on, engine at 100 percent
inline constexpr std::uint8_t StatusNotReady = 2;  // off, or still bootstrapping

// The names the program uses for the service's pipe and start event.
inline constexpr char kServicePipeName[] =
    "\\\\.\\PIPE\\Nimbra {B9FD8848-334C-40C4-AD68-6AD3B034828B}";
inline constexpr char kServiceStartEventName[] =
    "Global\\QxServCommEvent {F1927B38-2E46-4E02-95E7-72B752173EC9}";

inline constexpr std::uint32_t kPipeBufferSize = 10240;
inline constexpr std::uint32_t kPipeRecordHeaderSize = 5;
// How long the client waits for the start event between attempts to open
// the pipe.
inline constexpr int kPipeRetryMs = 1000;
// How long SendToServer waits for the service to take a record. After a
// write has run out of time, the next ones take only what goes at once
// until one gets through: a service that never reads costs the window
// thread one such wait, not one per answer.
inline constexpr int kPipeWriteTimeoutMs = 3000;

// Walks the records of one block in order: calls OnRecord with the command
// of each record whose header lies in the block. A tail shorter than a
// header is ignored; a record whose payload runs past the end of the block
// is reported and ends the walk. Lengths near 2^32 cannot wrap around.
void WalkPipeRecords(const void* Data, std::uint32_t DataSize,
                     const std::function<void(std::uint8_t command)>& OnRecord);

using TResponseEvent = std::function<void(const void* Data, std::uint32_t DataSize)>;
using TConnectEvent = std::function<void()>;

class TPipeClient : public TThread {
 public:
  // Created suspended: set the handlers, then Start.
  TPipeClient(const std::string& PipeName, const std::string& StartEventName);
  // Stops the thread, interrupting a read or write that waits, and closes
  // the pipe. On the window thread it serves the worker's synchronized calls
  // meanwhile (without running the handlers), so it never waits on itself.
  ~TPipeClient() override;

  // Writes one record; true once the system has taken it, false (logged as
  // a failed write) when it could not be written within the write time-out.
  // Called on the window thread (one write at a time).
  bool SendToServer(std::uint8_t Command, const void* Data, std::uint32_t DataSize);

  // Handlers run on the window thread; set and read them there only.
  void SetOnResponse(TResponseEvent handler) { FResponseEvent = std::move(handler); }
  void SetOnConnected(TConnectEvent handler) { FConnectEvent = std::move(handler); }
  const TResponseEvent& OnResponse() const { return FResponseEvent; }
  const TConnectEvent& OnConnected() const { return FConnectEvent; }

 protected:
  void Execute() override;

 private:
  bool Connect();
  void DoConnected();
  void DoResponse();

  std::string FPipeName;
  std::string FStartEventName;
  platform::PipeClientEnd FPipe;
  std::array<std::uint8_t, kPipeBufferSize> FBuffer{};
  std::uint32_t FDataSize = 0;
  bool FWriteStuck = false;  // the last write ran out of time
  TResponseEvent FResponseEvent;
  TConnectEvent FConnectEvent;
};

// Test seam: told on the reading thread when a read has gone pending
// (pending true) and when a read has delivered `count` bytes, before any
// dispatch. An empty function removes it.
void SetPipeClientReadObserverForTesting(
    std::function<void(bool pending, std::uint32_t count)> observer);
