// Named pipes and named events: the link to the companion service. Windows
// uses overlapped named pipes and kernel events. The POSIX stand-in keeps the
// behaviour: a pipe is a Unix-domain sequenced-packet socket in the abstract
// namespace named after the pipe (each write arrives as one read, a write of
// zero bytes as a read of zero bytes, and names vanish with their owner); a
// named event is a small shared file in NIMBRA_NAMED_OBJECTS (default
// /dev/shm) holding one word, which waiters look at every few milliseconds.
//
// On both, a block written larger than a read asks for is delivered in
// pieces: each read takes as much of the rest as fits, nothing is lost.
// Results are 0 or a system error code (SysErrorText-ready).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A read or write that was started and finishes later (ERROR_IO_PENDING).
std::uint32_t PipeIoPending();
// A wait that ran out of time.
std::uint32_t PipeTimedOut();
// The other end is gone (ERROR_BROKEN_PIPE).
std::uint32_t PipeBroken();
// Opening failed because another client is connected (ERROR_PIPE_BUSY).
std::uint32_t PipeBusy();

// The client's end, opened for overlapped I/O: one read (on the reading
// thread) and one write (on another thread) may be in flight at once, each
// with its own completion event.
class PipeClientEnd {
 public:
  PipeClientEnd();
  ~PipeClientEnd();
  PipeClientEnd(const PipeClientEnd&) = delete;
  PipeClientEnd& operator=(const PipeClientEnd&) = delete;

  // Opens an existing pipe for reading and writing.
  std::uint32_t Open(const std::string& name);
  bool IsOpen() const;

  // Starts a read of up to `size` bytes: 0 when it completed at once (`read`
  // holds the count), PipeIoPending() when FinishRead must wait for it, or
  // the error.
  std::uint32_t BeginRead(void* buffer, std::uint32_t size, std::uint32_t& read);
  // Waits without time limit for the pending read, or until Interrupt.
  std::uint32_t FinishRead(std::uint32_t& read);

  // Writes all `size` bytes as one block and waits until the system has
  // taken them, at most timeout_ms (< 0: for ever; 0: only what goes at
  // once) or until Interrupt. A write that runs out of time is cancelled
  // (PipeTimedOut()).
  std::uint32_t Write(const void* data, std::uint32_t size, int timeout_ms);

  // From any thread: ends the waits of FinishRead and Write, now and later,
  // with the aborted-operation error.
  void Interrupt();
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The owner's end: one instance of the pipe, for one client at a time. The
// name belongs to the owner from Create to Close, also while a client is
// connected and between clients: nobody else can create the pipe then. A
// second client trying to open it while one is connected is told the pipe
// is busy (Windows: ERROR_PIPE_BUSY; POSIX: EBUSY, the one waiting place of
// the listener being taken by a placeholder connection of the owner's own).
class PipeServerEnd {
 public:
  PipeServerEnd();
  ~PipeServerEnd();
  PipeServerEnd(const PipeServerEnd&) = delete;
  PipeServerEnd& operator=(const PipeServerEnd&) = delete;

  // Creates the pipe; fails when another owner has it already (Windows:
  // ERROR_ACCESS_DENIED; POSIX: EACCES).
  std::uint32_t Create(const std::string& name);
  // Waits up to timeout_ms (< 0: for ever) for the client to open it.
  std::uint32_t WaitForClient(int timeout_ms);
  // Drops the connected client and keeps the name: the next WaitForClient
  // takes the next client.
  void Disconnect();
  bool Connected() const;
  // The process id of the connected client (Windows:
  // GetNamedPipeClientProcessId; POSIX: SO_PEERCRED); 0 when unknown.
  std::uint32_t ClientProcessId() const;
  // Appends what arrives, at most `max` bytes, waiting up to timeout_ms
  // (< 0: for ever). PipeBroken() once the client has closed its end.
  std::uint32_t Read(std::string& out, std::size_t max, int timeout_ms);
  // Writes the bytes as one block; a block of zero bytes is delivered too.
  std::uint32_t Write(const void* data, std::uint32_t size, int timeout_ms);
  // Closes the owner's end: the client's reads fail from then on.
  void Close();
  bool IsOpen() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A machine-wide manual-reset event, known by name to several processes.
class NamedEvent {
 public:
  NamedEvent();
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Opens the event, creating it not signalled when nobody has it yet.
  std::uint32_t OpenOrCreate(const std::string& name);
  // True when the event is signalled within timeout_ms; an event that is not
  // open waits out the time.
  bool Wait(int timeout_ms);
  std::uint32_t Set();
  std::uint32_t Reset();
  void Close();
  bool IsOpen() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
