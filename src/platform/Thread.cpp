#include "platform/Thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>

namespace platform {

namespace {

struct PendingCall {
  std::function<void()> call;
  bool done = false;
};

std::mutex g_mutex;
std::condition_variable g_arrived;
std::condition_variable g_done;
std::deque<std::shared_ptr<PendingCall>> g_calls;
std::function<void()> g_wake_up;
// Static initialisation runs on the thread that starts the process.
std::atomic<std::thread::id> g_main_thread{std::this_thread::get_id()};

}  // namespace

bool IsMainThread() { return std::this_thread::get_id() == g_main_thread.load(); }

void SetMainThreadForTesting(std::thread::id id) { g_main_thread = id; }

void SetSynchronizedCallWakeUp(std::function<void()> wake_up) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_wake_up = std::move(wake_up);
}

void SynchronizedCall(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  auto pending = std::make_shared<PendingCall>();
  pending->call = call;
  std::function<void()> wake_up;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(pending);
    wake_up = g_wake_up;
  }
  g_arrived.notify_all();
  if (wake_up) wake_up();
  std::unique_lock<std::mutex> lock(g_mutex);
  g_done.wait(lock, [&] { return pending->done; });
}

int PumpSynchronizedCalls() {
  int count = 0;
  for (;;) {
    std::shared_ptr<PendingCall> pending;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_calls.empty()) break;
      pending = g_calls.front();
      g_calls.pop_front();
    }
    try {
      pending->call();
    } catch (...) {
      // The worker only waits for the call; what it raised stays here, as an
      // unhandled exception of the window thread would.
    }
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      pending->done = true;
    }
    g_done.notify_all();
    ++count;
  }
  return count;
}

int WaitAndPumpSynchronizedCalls(int timeout_ms) {
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                       [] { return !g_calls.empty(); });
  }
  return PumpSynchronizedCalls();
}

}  // namespace platform

TThread::TThread() = default;

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void TThread::Start() {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (thread_.joinable() || finished_) return;
  started_ = true;
  thread_ = std::thread([this] { Run(); });
}

void TThread::Terminate() { terminated_ = true; }

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string TThread::FatalError() const {
  std::lock_guard<std::mutex> lock(error_mutex_);
  return fatal_error_;
}

void TThread::Run() {
  // Start() may still be assigning thread_: wait until it has.
  { std::lock_guard<std::mutex> lock(start_mutex_); }
  try {
    Execute();
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    fatal_error_ = error.what();
  } catch (...) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    fatal_error_ = "unknown exception";
  }
  finished_ = true;
  if (free_on_terminate_) {
    thread_.detach();
    delete this;
  }
}
