// The program's end of the companion service's named pipe: a thread that
// connects, reads blocks of framed records (pipe/PipeProtocol.h) and hands
// each block to its owner on the window thread; the owner writes its answers
// with SendToServer. A block the service writes larger than kPipeBufferSize
// arrives as several blocks (10240 bytes each, the rest in the last), on
// every platform.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "pipe/PipeProtocol.h"
#include "platform/Pipe.h"
#include "platform/Thread.h"

// How long the client waits for the start event between attempts to open
// the pipe.
inline constexpr int kPipeRetryMs = 1000;
// How long SendToServer waits for the service to take a record. After a
// write has run out of time, the next ones take only what goes at once
// until one gets through: a service that never reads costs the window
// thread one such wait, not one per answer.
inline constexpr int kPipeWriteTimeoutMs = 3000;

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
