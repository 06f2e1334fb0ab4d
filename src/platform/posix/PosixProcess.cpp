#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/posix/NamedObjects.h"

namespace platform {

namespace {

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

ChildProcess::~ChildProcess() { Kill(); }

std::uint32_t ChildProcess::Start(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  Kill();
  // Everything the child needs is made before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful exec
  // closes it (close-on-exec) without a word.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return static_cast<std::uint32_t>(errno);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(report[0]);
    close(report[1]);
    return static_cast<std::uint32_t>(error);
  }
  if (pid == 0) {
    close(report[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above took effect.
    if (getppid() != parent) _exit(127);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      close(null_fd);
    }
    execv(program.c_str(), argv.data());
    const int error = errno;
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  int child_error = 0;
  ssize_t n;
  do {
    n = read(report[0], &child_error, sizeof child_error);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof child_error)) {
    waitpid(pid, nullptr, 0);
    return static_cast<std::uint32_t>(child_error != 0 ? child_error : ENOEXEC);
  }
  process_ = pid;
  tracked_ = true;
  exited_ = false;
  exit_code_ = -1;
  return 0;
}

std::uint32_t ChildProcess::Id() const {
  return tracked_ ? static_cast<std::uint32_t>(process_) : 0;
}

bool ChildProcess::WaitForExit(int timeout_ms) {
  if (!tracked_ || exited_) return true;
  const pid_t pid = static_cast<pid_t>(process_);
  int waited = 0;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
    if (done == pid) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    if (done < 0 && errno != EINTR) {
      // Reaped elsewhere or never ours: nothing left to wait for.
      exited_ = true;
      return true;
    }
    if (timeout_ms >= 0) {
      if (waited >= timeout_ms) return false;
      SleepMs(10);
      waited += 10;
    }
  }
}

void ChildProcess::Kill() {
  if (!tracked_ || exited_) return;
  kill(static_cast<pid_t>(process_), SIGKILL);
  WaitForExit(-1);
}

// ---- watching another process

namespace {

// The start time of process `pid` (clock ticks since boot, field 22 of
// /proc/<pid>/stat), which tells it from a later process of the same id;
// false when there is no such process. `ended` is set for a zombie.
bool ReadProcessStart(pid_t pid, unsigned long long& start, bool& ended) {
  const auto stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  // The name in parentheses may hold blanks and parentheses itself.
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos || close + 2 >= stat->size()) return false;
  const std::string rest = stat->substr(close + 2);
  ended = rest[0] == 'Z' || rest[0] == 'X';
  std::size_t at = 0;
  for (int field = 3; field < 22; ++field) {
    at = rest.find(' ', at);
    if (at == std::string::npos) return false;
    ++at;
  }
  char* end = nullptr;
  start = std::strtoull(rest.c_str() + at, &end, 10);
  return end != rest.c_str() + at;
}

std::string ExitRecordPath(pid_t pid) {
  return posix::NamedObjectFolder() + "/nimbra-exit." + std::to_string(pid);
}

std::once_flag g_exit_record_once;
unsigned long long g_own_start = 0;
// Made when recording starts: nothing is allocated at exit.
char g_exit_record_path[4096];
char g_exit_record_temp[4096 + 16];

void WriteExitRecord(int status, void*) {
  char line[64];
  const int length = std::snprintf(line, sizeof line, "%llu %d\n", g_own_start, status & 0xFF);
  const int fd =
      open(g_exit_record_temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return;
  const bool written = length > 0 && write(fd, line, static_cast<std::size_t>(length)) == length;
  close(fd);
  // Whole or not at all: the reader never sees half a record.
  if (written) rename(g_exit_record_temp, g_exit_record_path);
}

}  // namespace

struct ProcessWatch::State {
  pid_t pid = 0;
  unsigned long long start = 0;
  bool ended = false;
};

ProcessWatch::ProcessWatch() : state_(std::make_unique<State>()) {}
ProcessWatch::~ProcessWatch() = default;

std::uint32_t ProcessWatch::Open(std::uint32_t pid) {
  Close();
  unsigned long long start = 0;
  bool ended = false;
  if (pid == 0 || !ReadProcessStart(static_cast<pid_t>(pid), start, ended)) return ESRCH;
  state_->pid = static_cast<pid_t>(pid);
  state_->start = start;
  state_->ended = ended;
  return 0;
}

bool ProcessWatch::IsOpen() const { return state_->pid != 0; }

std::uint32_t ProcessWatch::Pid() const { return static_cast<std::uint32_t>(state_->pid); }

bool ProcessWatch::WaitForExit(int timeout_ms) {
  if (state_->pid == 0 || state_->ended) return true;
  int waited = 0;
  for (;;) {
    unsigned long long start = 0;
    bool zombie = false;
    if (!ReadProcessStart(state_->pid, start, zombie) || start != state_->start || zombie) {
      state_->ended = true;
      return true;
    }
    if (timeout_ms >= 0 && waited >= timeout_ms) return false;
    SleepMs(10);
    waited += 10;
  }
}

std::int64_t ProcessWatch::ExitCode() {
  if (state_->pid == 0 || !state_->ended) return -1;
  const std::string path = ExitRecordPath(state_->pid);
  const auto record = ReadWholeFile(path);
  if (!record) return -1;
  unsigned long long start = 0;
  int code = -1;
  if (std::sscanf(record->c_str(), "%llu %d", &start, &code) != 2 || start != state_->start) {
    return -1;  // an earlier process's, of the same id
  }
  DeleteFileAt(path);
  return code;
}

void ProcessWatch::Close() { *state_ = State{}; }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

void RecordExitCodeOnNormalExit() {
  std::call_once(g_exit_record_once, [] {
    bool ended = false;
    if (!ReadProcessStart(getpid(), g_own_start, ended)) return;
    const std::string path = ExitRecordPath(getpid());
    if (path.size() >= sizeof g_exit_record_path) return;
    std::snprintf(g_exit_record_path, sizeof g_exit_record_path, "%s", path.c_str());
    std::snprintf(g_exit_record_temp, sizeof g_exit_record_temp, "%s.tmp", path.c_str());
    // A record an earlier process of this id left is not this one's.
    DeleteFileAt(path);
    on_exit(WriteExitRecord, nullptr);
  });
}

std::string EnvironmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
  if (value.empty()) return unsetenv(name.c_str()) == 0;
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::string ModuleFileName(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

std::string UnixPathOf(const std::string& path) { return path; }

std::string PathFromUnixPath(const std::string& unix_path) { return unix_path; }

}  // namespace platform
