// Overlapped named pipes and named kernel events.
#include <windows.h>

#include <atomic>

#include "platform/Pipe.h"
#include "platform/win32/Wide.h"

namespace platform {

using win32::W;

namespace {

constexpr DWORD kPipeBufferSize = 10240;

DWORD Timeout(int timeout_ms) { return timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms); }

// Waits for an overlapped operation on `handle`, or for `stop`, or for the
// time to run out; a cancelled operation is waited for to the end, so that
// its buffer and record are free again when this returns.
std::uint32_t Complete(HANDLE handle, OVERLAPPED& overlapped, HANDLE stop, DWORD timeout,
                       DWORD& transferred) {
  transferred = 0;
  HANDLE waits[2] = {overlapped.hEvent, stop};
  const DWORD count = stop != nullptr ? 2 : 1;
  const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, timeout);
  if (waited != WAIT_OBJECT_0) {
    CancelIoEx(handle, &overlapped);
    if (GetOverlappedResult(handle, &overlapped, &transferred, TRUE)) return 0;
    if (GetLastError() == ERROR_MORE_DATA) return 0;
    return waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
  }
  if (!GetOverlappedResult(handle, &overlapped, &transferred, FALSE)) {
    // A message larger than the read: this piece now, the rest next time.
    if (GetLastError() == ERROR_MORE_DATA) return 0;
    return GetLastError();
  }
  return 0;
}

struct Overlapped {
  OVERLAPPED record = {};
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Overlapped() {
    if (event != nullptr) CloseHandle(event);
  }
  OVERLAPPED* Fresh() {
    record = {};
    record.hEvent = event;
    return &record;
  }
};

}  // namespace

std::uint32_t PipeIoPending() { return ERROR_IO_PENDING; }
std::uint32_t PipeTimedOut() { return WAIT_TIMEOUT; }
std::uint32_t PipeBroken() { return ERROR_BROKEN_PIPE; }
std::uint32_t PipeBusy() { return ERROR_PIPE_BUSY; }

// ---- client end

struct PipeClientEnd::State {
  std::atomic<HANDLE> pipe{INVALID_HANDLE_VALUE};
  Overlapped read;
  Overlapped write;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~State() {
    if (stop != nullptr) CloseHandle(stop);
  }
};

PipeClientEnd::PipeClientEnd() : state_(std::make_unique<State>()) {}
PipeClientEnd::~PipeClientEnd() { Close(); }

std::uint32_t PipeClientEnd::Open(const std::string& name) {
  Close();
  HANDLE pipe =
      CreateFileW(W(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return GetLastError();
  state_->pipe = pipe;
  return 0;
}

bool PipeClientEnd::IsOpen() const { return state_->pipe.load() != INVALID_HANDLE_VALUE; }

std::uint32_t PipeClientEnd::BeginRead(void* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  DWORD got = 0;
  HANDLE pipe = state_->pipe.load();
  if (ReadFile(pipe, buffer, size, &got, state_->read.Fresh())) {
    ResetEvent(state_->read.event);
    read = got;
    return 0;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_MORE_DATA) {
    // A message larger than the read: this piece now, the rest next time.
    GetOverlappedResult(pipe, &state_->read.record, &got, FALSE);
    ResetEvent(state_->read.event);
    read = got;
    return 0;
  }
  return error;
}

std::uint32_t PipeClientEnd::FinishRead(std::uint32_t& read) {
  DWORD got = 0;
  const std::uint32_t error =
      Complete(state_->pipe.load(), state_->read.record, state_->stop, INFINITE, got);
  ResetEvent(state_->read.event);
  read = error == 0 ? got : 0;
  return error;
}

std::uint32_t PipeClientEnd::Write(const void* data, std::uint32_t size, int timeout_ms) {
  HANDLE pipe = state_->pipe.load();
  DWORD written = 0;
  if (WriteFile(pipe, data, size, &written, state_->write.Fresh())) return 0;
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return error;
  // A pending write counts only once it has really completed; one that runs
  // out of time is cancelled and waited for, so its buffer is free again.
  return Complete(pipe, state_->write.record, state_->stop, Timeout(timeout_ms), written);
}

void PipeClientEnd::Interrupt() { SetEvent(state_->stop); }

void PipeClientEnd::Close() {
  HANDLE pipe = state_->pipe.exchange(INVALID_HANDLE_VALUE);
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
}

// ---- server end

struct PipeServerEnd::State {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  Overlapped io;
  bool connected = false;
};

PipeServerEnd::PipeServerEnd() : state_(std::make_unique<State>()) {}
PipeServerEnd::~PipeServerEnd() { Close(); }

std::uint32_t PipeServerEnd::Create(const std::string& name) {
  Close();
  // Message type: every write reaches the client as a block of its own, a
  // write of zero bytes included; read in byte mode on this side.
  state_->pipe = CreateNamedPipeW(
      W(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBufferSize, kPipeBufferSize, 0,
      nullptr);
  return state_->pipe != INVALID_HANDLE_VALUE ? 0 : GetLastError();
}

std::uint32_t PipeServerEnd::WaitForClient(int timeout_ms) {
  if (state_->connected) return 0;
  std::uint32_t error = 0;
  if (!ConnectNamedPipe(state_->pipe, state_->io.Fresh())) {
    error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      error = 0;
    } else if (error == ERROR_IO_PENDING) {
      DWORD ignored = 0;
      error = Complete(state_->pipe, state_->io.record, nullptr, Timeout(timeout_ms), ignored);
    }
  }
  state_->connected = error == 0;
  return error;
}

void PipeServerEnd::Disconnect() {
  // The instance stays the owner's: the next ConnectNamedPipe waits on it.
  if (state_->pipe != INVALID_HANDLE_VALUE) DisconnectNamedPipe(state_->pipe);
  state_->connected = false;
}

bool PipeServerEnd::Connected() const { return state_->connected; }

std::uint32_t PipeServerEnd::ClientProcessId() const {
  ULONG pid = 0;
  if (!state_->connected || !GetNamedPipeClientProcessId(state_->pipe, &pid)) return 0;
  return static_cast<std::uint32_t>(pid);
}

std::uint32_t PipeServerEnd::Read(std::string& out, std::size_t max, int timeout_ms) {
  std::string buffer(max, '\0');
  DWORD got = 0;
  std::uint32_t error = 0;
  if (!ReadFile(state_->pipe, buffer.data(), static_cast<DWORD>(max), &got, state_->io.Fresh())) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = Complete(state_->pipe, state_->io.record, nullptr, Timeout(timeout_ms), got);
    }
  }
  if (error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA) error = ERROR_BROKEN_PIPE;
  if (error == ERROR_MORE_DATA) error = 0;
  out.append(buffer.data(), got);
  return error;
}

std::uint32_t PipeServerEnd::Write(const void* data, std::uint32_t size, int timeout_ms) {
  DWORD written = 0;
  if (WriteFile(state_->pipe, data, size, &written, state_->io.Fresh())) return 0;
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return error;
  return Complete(state_->pipe, state_->io.record, nullptr, Timeout(timeout_ms), written);
}

void PipeServerEnd::Close() {
  if (state_->pipe != INVALID_HANDLE_VALUE) CloseHandle(state_->pipe);
  state_->pipe = INVALID_HANDLE_VALUE;
  state_->connected = false;
}

bool PipeServerEnd::IsOpen() const { return state_->pipe != INVALID_HANDLE_VALUE; }

// ---- named event

struct NamedEvent::State {
  HANDLE event = nullptr;
};

NamedEvent::NamedEvent() : state_(std::make_unique<State>()) {}
NamedEvent::~NamedEvent() { Close(); }

std::uint32_t NamedEvent::OpenOrCreate(const std::string& name) {
  Close();
  state_->event = CreateEventW(nullptr, TRUE, FALSE, W(name).c_str());
  return state_->event != nullptr ? 0 : GetLastError();
}

bool NamedEvent::Wait(int timeout_ms) {
  if (state_->event == nullptr) {
    Sleep(Timeout(timeout_ms));
    return false;
  }
  return WaitForSingleObject(state_->event, Timeout(timeout_ms)) == WAIT_OBJECT_0;
}

std::uint32_t NamedEvent::Set() {
  if (state_->event == nullptr) return ERROR_INVALID_HANDLE;
  return SetEvent(state_->event) ? 0 : GetLastError();
}

std::uint32_t NamedEvent::Reset() {
  if (state_->event == nullptr) return ERROR_INVALID_HANDLE;
  return ResetEvent(state_->event) ? 0 : GetLastError();
}

void NamedEvent::Close() {
  if (state_->event != nullptr) CloseHandle(state_->event);
  state_->event = nullptr;
}

bool NamedEvent::IsOpen() const { return state_->event != nullptr; }

}  // namespace platform
