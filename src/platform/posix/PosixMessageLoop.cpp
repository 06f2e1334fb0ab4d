// Without a window system the window thread's loop waits on the synchronized
// call queue itself.
#include <atomic>

#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace platform {

namespace {

std::atomic<bool> g_quit{false};
std::atomic<int> g_exit_code{0};

// How long one wait on the queue lasts before the quit flag is looked at.
constexpr int kQuitPollMs = 50;

}  // namespace

bool AttachSynchronizedCallsToMessageLoop() { return true; }

void DetachSynchronizedCallsFromMessageLoop() {}

int RunMessageLoop() {
  while (!g_quit.exchange(false)) WaitAndPumpSynchronizedCalls(kQuitPollMs);
  return g_exit_code.load();
}

void QuitMessageLoop(int exit_code) {
  g_exit_code = exit_code;
  g_quit = true;
}

}  // namespace platform
