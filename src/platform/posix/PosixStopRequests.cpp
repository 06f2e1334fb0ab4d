// SIGTERM, SIGINT and SIGHUP, turned into calls on a thread of their own
// through a pipe the signal handler writes the signal's number to.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/StopRequests.h"

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

int g_pipe[2] = {-1, -1};
std::thread g_thread;
std::mutex g_mutex;
std::function<void(const std::string&)> g_handler;

void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  (void)!write(g_pipe[1], &byte, 1);
  errno = saved;
}

void Listen() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(g_pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return;  // 0: asked to stop watching
    std::function<void(const std::string&)> handler;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      handler = g_handler;
    }
    if (handler) handler(std::string("signal ") + strsignal(byte));
  }
}

}  // namespace

bool WatchStopRequests(std::function<void(const std::string& reason)> handler) {
  if (g_thread.joinable()) return false;
  if (pipe2(g_pipe, O_CLOEXEC) != 0) return false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = std::move(handler);
  }
  g_thread = std::thread(Listen);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : kSignals) sigaction(number, &action, nullptr);
  return true;
}

void StopWatchingStopRequests() {
  if (!g_thread.joinable()) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int number : kSignals) sigaction(number, &action, nullptr);
  const unsigned char stop = 0;
  (void)!write(g_pipe[1], &stop, 1);
  g_thread.join();
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handler = nullptr;
}

}  // namespace platform
