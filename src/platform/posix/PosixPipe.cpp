// The named pipe and named event stand-ins: abstract-namespace Unix-domain
// sequenced-packet sockets and a word in a shared file that waiters poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/Pipe.h"
#include "platform/Process.h"
#include "platform/posix/NamedObjects.h"

namespace platform {

namespace {

std::uint32_t Err() { return static_cast<std::uint32_t>(errno); }

// "\\.\PIPE\Name" and "\\.\pipe\name" are one pipe, as on Windows: the
// socket is named after the lower-cased name, without the prefix.
bool PipeAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
  std::string key;
  for (char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string prefix = "\\\\.\\pipe\\";
  if (key.compare(0, prefix.size(), prefix) == 0) key.erase(0, prefix.size());
  key = "nimbra-pipe:" + key;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (key.size() + 1 > sizeof address.sun_path) return false;
  // Abstract namespace: a leading zero byte, no file, gone with its owner.
  std::memcpy(address.sun_path + 1, key.data(), key.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());
  return true;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits for `events` on fd, or for `stop` to become readable; 0, ETIMEDOUT,
// ECANCELED (stopped) or the error.
std::uint32_t WaitReady(int fd, short events, int stop, int timeout_ms) {
  pollfd waits[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
  const nfds_t count = stop >= 0 ? 2 : 1;
  for (;;) {
    const int n = poll(waits, count, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Err();
    if (n == 0) return ETIMEDOUT;
    if (count == 2 && waits[1].revents != 0) return ECANCELED;
    return 0;
  }
}

// One packet, without waiting: 0 with its size, EAGAIN when none is there,
// EPIPE once the peer has closed, EMSGSIZE for a packet larger than `size`
// (its rest is lost). A packet of zero bytes reads as 0 bytes; the end of
// the connection also reads as 0 bytes but comes with a hang-up.
std::uint32_t ReceivePacket(int fd, void* buffer, std::size_t size, std::size_t& read) {
  read = 0;
  const ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    if (errno == ECONNRESET || errno == ENOTCONN) return EPIPE;
    return Err();
  }
  if (n == 0) {
    pollfd hang_up{fd, POLLRDHUP, 0};
    if (poll(&hang_up, 1, 0) > 0 && (hang_up.revents & (POLLRDHUP | POLLHUP)) != 0) return EPIPE;
    return 0;
  }
  if (static_cast<std::size_t>(n) > size) {
    read = size;
    return EMSGSIZE;
  }
  read = static_cast<std::size_t>(n);
  return 0;
}

std::uint32_t SendPacket(int fd, const void* data, std::size_t size, int stop, int timeout_ms) {
  for (;;) {
    const ssize_t n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return 0;
    if (errno == ECONNRESET || errno == ENOTCONN) return EPIPE;
    if (errno != EAGAIN && errno != EINTR) return Err();
    const std::uint32_t waited = WaitReady(fd, POLLOUT, stop, timeout_ms);
    if (waited != 0) return waited;
  }
}

// One block for a read of `size` bytes: a larger one is taken whole and
// handed out piece by piece (as a Windows client in byte mode reads a
// message), so nothing of it is lost.
std::uint32_t ReceiveBlock(int fd, std::string& rest, std::size_t& rest_at, void* buffer,
                           std::size_t size, std::size_t& read) {
  read = 0;
  if (rest_at < rest.size()) {
    read = std::min(size, rest.size() - rest_at);
    std::memcpy(buffer, rest.data() + rest_at, read);
    rest_at += read;
    if (rest_at == rest.size()) {
      rest.clear();
      rest_at = 0;
    }
    return 0;
  }
  const ssize_t whole = recv(fd, nullptr, 0, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
  if (whole > 0 && static_cast<std::size_t>(whole) > size) {
    rest.resize(static_cast<std::size_t>(whole));
    std::size_t got = 0;
    const std::uint32_t error = ReceivePacket(fd, rest.data(), rest.size(), got);
    if (error != 0) {
      rest.clear();
      return error;
    }
    rest.resize(got);
    rest_at = 0;
    return ReceiveBlock(fd, rest, rest_at, buffer, size, read);
  }
  return ReceivePacket(fd, buffer, size, read);
}

}  // namespace

std::uint32_t PipeIoPending() { return EINPROGRESS; }
std::uint32_t PipeTimedOut() { return ETIMEDOUT; }
std::uint32_t PipeBroken() { return EPIPE; }
std::uint32_t PipeBusy() { return EBUSY; }

// ---- client end

struct PipeClientEnd::State {
  std::atomic<int> fd{-1};
  int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  void* pending_buffer = nullptr;
  std::size_t pending_size = 0;
  // The rest of a block larger than the last read, for the reads after it.
  std::string rest;
  std::size_t rest_at = 0;
  ~State() {
    if (stop >= 0) close(stop);
  }
};

PipeClientEnd::PipeClientEnd() : state_(std::make_unique<State>()) {}
PipeClientEnd::~PipeClientEnd() { Close(); }

std::uint32_t PipeClientEnd::Open(const std::string& name) {
  Close();
  sockaddr_un address;
  socklen_t length = 0;
  if (!PipeAddress(name, address, length)) return ENAMETOOLONG;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Err();
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    // Nobody owns the name: the pipe does not exist. A full backlog: busy.
    const std::uint32_t error = errno == ECONNREFUSED ? ENOENT : errno == EAGAIN ? EBUSY : Err();
    CloseFd(fd);
    return error;
  }
  state_->fd = fd;
  // The owner learns from the exit code how this process ended.
  RecordExitCodeOnNormalExit();
  return 0;
}

bool PipeClientEnd::IsOpen() const { return state_->fd.load() >= 0; }

std::uint32_t PipeClientEnd::BeginRead(void* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  const int fd = state_->fd.load();
  if (fd < 0) return EBADF;
  std::size_t got = 0;
  const std::uint32_t error = ReceiveBlock(fd, state_->rest, state_->rest_at, buffer, size, got);
  if (error == EAGAIN) {
    state_->pending_buffer = buffer;
    state_->pending_size = size;
    return EINPROGRESS;
  }
  read = static_cast<std::uint32_t>(error == 0 ? got : 0);
  return error;
}

std::uint32_t PipeClientEnd::FinishRead(std::uint32_t& read) {
  read = 0;
  const int fd = state_->fd.load();
  if (fd < 0) return EBADF;
  for (;;) {
    const std::uint32_t waited = WaitReady(fd, POLLIN | POLLRDHUP, state_->stop, -1);
    if (waited != 0) return waited;
    std::size_t got = 0;
    const std::uint32_t error = ReceiveBlock(fd, state_->rest, state_->rest_at,
                                             state_->pending_buffer, state_->pending_size, got);
    if (error == EAGAIN) continue;
    read = static_cast<std::uint32_t>(error == 0 ? got : 0);
    return error;
  }
}

std::uint32_t PipeClientEnd::Write(const void* data, std::uint32_t size, int timeout_ms) {
  const int fd = state_->fd.load();
  if (fd < 0) return EBADF;
  // A packet goes whole or not at all: running out of time cancels it.
  return SendPacket(fd, data, size, state_->stop, timeout_ms);
}

void PipeClientEnd::Interrupt() {
  const std::uint64_t one = 1;
  if (state_->stop >= 0) (void)!write(state_->stop, &one, sizeof one);
}

void PipeClientEnd::Close() {
  int fd = state_->fd.exchange(-1);
  CloseFd(fd);
  state_->rest.clear();
  state_->rest_at = 0;
}

// ---- server end

// The listener holds the name for the owner's whole life. Its queue has
// room for one waiting connection; while a client is connected, the owner
// fills that room with a placeholder connection of its own, so that another
// client's connect fails at once as busy. The placeholder is closed when
// the client goes and, then dead, skipped by the next WaitForClient.
struct PipeServerEnd::State {
  int listener = -1;
  int connection = -1;
  int placeholder = -1;
  sockaddr_un address{};
  socklen_t address_length = 0;
};

PipeServerEnd::PipeServerEnd() : state_(std::make_unique<State>()) {}
PipeServerEnd::~PipeServerEnd() { Close(); }

std::uint32_t PipeServerEnd::Create(const std::string& name) {
  Close();
  if (!PipeAddress(name, state_->address, state_->address_length)) return ENAMETOOLONG;
  state_->listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (state_->listener < 0) return Err();
  if (bind(state_->listener, reinterpret_cast<sockaddr*>(&state_->address),
           state_->address_length) != 0 ||
      listen(state_->listener, 0) != 0) {
    // Another owner has the name (Windows: access denied to a second first
    // instance).
    const std::uint32_t error = errno == EADDRINUSE ? EACCES : Err();
    CloseFd(state_->listener);
    return error;
  }
  return 0;
}

namespace {

// A connection whose other end closed before it was taken, with nothing
// left to read: the owner's old placeholder, or a client that gave up.
bool AlreadyGone(int fd) {
  pollfd hang_up{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&hang_up, 1, 0) <= 0 || (hang_up.revents & (POLLHUP | POLLRDHUP)) == 0) return false;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

}  // namespace

std::uint32_t PipeServerEnd::WaitForClient(int timeout_ms) {
  if (state_->connection >= 0) return 0;
  if (state_->listener < 0) return EBADF;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = timeout_ms;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    const std::uint32_t waited = WaitReady(state_->listener, POLLIN, -1, wait_ms);
    if (waited != 0) return waited;
    const int fd = accept4(state_->listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      return Err();
    }
    if (AlreadyGone(fd)) {
      close(fd);
      continue;
    }
    state_->connection = fd;
    break;
  }
  // The one waiting place: taken by the owner while the client stays.
  state_->placeholder = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (state_->placeholder >= 0 &&
      connect(state_->placeholder, reinterpret_cast<sockaddr*>(&state_->address),
              state_->address_length) != 0) {
    // Another client is waiting there already: it keeps the place.
    CloseFd(state_->placeholder);
  }
  return 0;
}

void PipeServerEnd::Disconnect() {
  CloseFd(state_->connection);
  CloseFd(state_->placeholder);
}

bool PipeServerEnd::Connected() const { return state_->connection >= 0; }

std::uint32_t PipeServerEnd::ClientProcessId() const {
  if (state_->connection < 0) return 0;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(state_->connection, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return 0;
  return credentials.pid > 0 ? static_cast<std::uint32_t>(credentials.pid) : 0;
}

std::uint32_t PipeServerEnd::Read(std::string& out, std::size_t max, int timeout_ms) {
  if (state_->connection < 0) return EBADF;
  std::string buffer(max, '\0');
  for (;;) {
    std::size_t got = 0;
    const std::uint32_t error = ReceivePacket(state_->connection, buffer.data(), max, got);
    if (error != EAGAIN) {
      out.append(buffer.data(), got);
      return error == EMSGSIZE ? 0 : error;
    }
    const std::uint32_t waited = WaitReady(state_->connection, POLLIN | POLLRDHUP, -1, timeout_ms);
    if (waited != 0) return waited;
  }
}

std::uint32_t PipeServerEnd::Write(const void* data, std::uint32_t size, int timeout_ms) {
  if (state_->connection < 0) return EBADF;
  return SendPacket(state_->connection, data, size, -1, timeout_ms);
}

void PipeServerEnd::Close() {
  CloseFd(state_->connection);
  CloseFd(state_->placeholder);
  CloseFd(state_->listener);
}

bool PipeServerEnd::IsOpen() const { return state_->listener >= 0 || state_->connection >= 0; }

// ---- named event

namespace {

using posix::NamedObjectFolder;

// How often a waiter looks at the word.
constexpr int kEventPollMs = 5;

}  // namespace

// The word is read and written through the file, never mapped: anyone may
// truncate a file in a shared folder, and a mapping of a truncated file
// kills its reader (SIGBUS). A truncated or shortened word reads as not set.
struct NamedEvent::State {
  int fd = -1;
};

NamedEvent::NamedEvent() : state_(std::make_unique<State>()) {}
NamedEvent::~NamedEvent() { Close(); }

std::uint32_t NamedEvent::OpenOrCreate(const std::string& name) {
  Close();
  std::string file_name = "nimbra-event.";
  for (char c : name) file_name += c == '/' || c == '\\' ? '_' : c;
  if (file_name.size() > NAME_MAX) return ENAMETOOLONG;
  const std::string folder = NamedObjectFolder();
  mkdir(folder.c_str(), 0777);
  // Whatever another user left under the name must be a plain file of its
  // own: not a link (which would have this process write to the file it
  // points to), nor a FIFO or device, nor a second name of another file.
  int fd = open((folder + "/" + file_name).c_str(),
                O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return Err();
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const std::uint32_t error = Err();
    close(fd);
    return error;
  }
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      status.st_size > static_cast<off_t>(sizeof(std::uint32_t))) {
    close(fd);
    return EINVAL;
  }
  // A new file reads as zero: not signalled.
  if (status.st_size < static_cast<off_t>(sizeof(std::uint32_t)) &&
      ftruncate(fd, sizeof(std::uint32_t)) != 0) {
    const std::uint32_t error = Err();
    close(fd);
    return error;
  }
  state_->fd = fd;
  return 0;
}

namespace {

bool WordIsSet(int fd) {
  std::uint32_t word = 0;
  const ssize_t n = pread(fd, &word, sizeof word, 0);
  return n == static_cast<ssize_t>(sizeof word) && word != 0;
}

std::uint32_t StoreWord(int fd, std::uint32_t value) {
  for (;;) {
    const ssize_t n = pwrite(fd, &value, sizeof value, 0);
    if (n == static_cast<ssize_t>(sizeof value)) return 0;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? Err() : EIO;
  }
}

}  // namespace

bool NamedEvent::Wait(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  if (state_->fd < 0) {
    const timespec pause{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    if (timeout_ms > 0) nanosleep(&pause, nullptr);
    return false;
  }
  for (;;) {
    if (WordIsSet(state_->fd)) return true;
    const auto left = deadline - Clock::now();
    if (timeout_ms >= 0 && left <= Clock::duration::zero()) return false;
    auto pause = std::chrono::milliseconds(kEventPollMs);
    if (timeout_ms >= 0 && left < pause) {
      std::this_thread::sleep_for(left);
    } else {
      std::this_thread::sleep_for(pause);
    }
  }
}

std::uint32_t NamedEvent::Set() {
  if (state_->fd < 0) return EBADF;
  return StoreWord(state_->fd, 1);
}

std::uint32_t NamedEvent::Reset() {
  if (state_->fd < 0) return EBADF;
  return StoreWord(state_->fd, 0);
}

void NamedEvent::Close() { CloseFd(state_->fd); }

bool NamedEvent::IsOpen() const { return state_->fd >= 0; }

}  // namespace platform
