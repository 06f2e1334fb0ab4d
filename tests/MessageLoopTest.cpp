#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace {

// Quits a loop that would otherwise never end, so that a broken wake-up
// fails the test instead of hanging it.
class Watchdog {
 public:
  Watchdog()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; })) {
            platform::QuitMessageLoop(-1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

TEST(MessageLoopTest, WorkerCallsRunOnTheLoopThreadAndTheLoopQuitsFromEitherSide) {
  ASSERT_TRUE(platform::AttachSynchronizedCallsToMessageLoop());
  const std::thread::id window_thread = std::this_thread::get_id();
  std::vector<std::thread::id> ran_on;
  std::vector<int> order;

  {
    // Calls queued before the loop runs are served once it does; the last
    // one quits from the window thread itself.
    Watchdog watchdog;
    std::thread worker([&] {
      for (int i = 1; i <= 3; ++i) {
        platform::SynchronizedCall([&, i] {
          ran_on.push_back(std::this_thread::get_id());
          order.push_back(i);
        });
      }
      platform::SynchronizedCall([] { platform::QuitMessageLoop(7); });
    });
    EXPECT_EQ(platform::RunMessageLoop(), 7);
    worker.join();
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (const auto& id : ran_on) EXPECT_EQ(id, window_thread);

  {
    // A worker may end the loop directly.
    Watchdog watchdog;
    std::thread worker([&] {
      platform::SynchronizedCall([&] { order.push_back(4); });
      platform::QuitMessageLoop(9);
    });
    EXPECT_EQ(platform::RunMessageLoop(), 9);
    worker.join();
  }
  EXPECT_EQ(order.back(), 4);

  // Detached, the same queue is pumped by hand again.
  platform::DetachSynchronizedCallsFromMessageLoop();
  std::atomic<bool> served{false};
  std::thread worker([&] { platform::SynchronizedCall([&] { served = true; }); });
  for (int i = 0; i < 3000 && !served; ++i) platform::WaitAndPumpSynchronizedCalls(10);
  worker.join();
  EXPECT_TRUE(served);
}

}  // namespace
