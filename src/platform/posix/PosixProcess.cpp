#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Process.h"

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
