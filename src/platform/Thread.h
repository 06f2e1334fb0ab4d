// The thread class of the program's workers, and the synchronized call by
// which a worker runs code on the window thread and waits for it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// Runs `call` on the window thread and returns once it has run there; runs it
// at once when called on the window thread itself. The window thread runs
// waiting calls whenever it pumps them: the Windows message loop does so when
// woken, a headless program or a test calls PumpSynchronizedCalls itself.
void SynchronizedCall(const std::function<void()>& call);

// Runs every waiting call; returns how many ran. Window thread only.
int PumpSynchronizedCalls();

// Waits up to `timeout_ms` for a call to arrive, then pumps; returns how many
// ran. For headless window threads (tests, console tools).
int WaitAndPumpSynchronizedCalls(int timeout_ms);

// The window thread: by default the thread that started the process.
bool IsMainThread();
void SetMainThreadForTesting(std::thread::id id);

// Called (from the waiting worker) after a call was queued, so that a window
// system can wake its loop; an empty function removes it.
void SetSynchronizedCallWakeUp(std::function<void()> wake_up);

}  // namespace platform

// A worker thread. Derived classes override Execute. A thread is started by
// Start(): classes that must run at once call it at the end of their own
// constructor (so Execute never sees a half-built object). With
// FreeOnTerminate set, the object deletes itself when Execute has ended;
// otherwise its destructor asks it to terminate and waits for it.
class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  // Sets the flag that Execute is expected to poll.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }
  // Whether Start has been called.
  bool Started() const { return started_.load(); }
  // Waits for Execute to end (not for a FreeOnTerminate thread).
  void WaitFor();

  void SetFreeOnTerminate(bool value) { free_on_terminate_ = value; }
  bool FreeOnTerminate() const { return free_on_terminate_; }

  // The text of an exception that escaped Execute, if any.
  std::string FatalError() const;

 protected:
  virtual void Execute() = 0;
  // Runs `method` on the window thread and waits for it.
  void Synchronize(const std::function<void()>& method) { platform::SynchronizedCall(method); }

 private:
  void Run();

  std::thread thread_;
  std::mutex start_mutex_;
  std::atomic<bool> started_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> free_on_terminate_{false};
  mutable std::mutex error_mutex_;
  std::string fatal_error_;
};
