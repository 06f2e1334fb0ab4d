#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Thread.h"

namespace {

class Worker final : public TThread {
 public:
  explicit Worker(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~Worker() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  std::thread::id handler_thread;
  int answer = 0;

 protected:
  void Execute() override {
    Synchronize([this] {
      handler_thread = std::this_thread::get_id();
      answer = 42;
    });
    while (!Terminated() && keep_running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 public:
  std::atomic<bool> keep_running{false};

 private:
  std::atomic<int>* destroyed_;
};

TEST(ThreadTest, SynchronizeRunsOnTheWindowThreadAndWaits) {
  Worker worker(nullptr);
  worker.Start();
  int pumped = 0;
  for (int i = 0; i < 500 && pumped == 0; ++i) pumped = platform::WaitAndPumpSynchronizedCalls(10);
  EXPECT_EQ(pumped, 1);
  worker.WaitFor();
  EXPECT_EQ(worker.handler_thread, std::this_thread::get_id());
  EXPECT_EQ(worker.answer, 42);
  EXPECT_TRUE(worker.Finished());
}

TEST(ThreadTest, FreeOnTerminateDeletesItselfAndDestructorStopsTheOthers) {
  std::atomic<int> destroyed{0};
  auto* self_freeing = new Worker(&destroyed);
  self_freeing->SetFreeOnTerminate(true);
  self_freeing->Start();
  for (int i = 0; i < 500 && destroyed == 0; ++i) platform::WaitAndPumpSynchronizedCalls(10);
  EXPECT_EQ(destroyed, 1);

  {
    Worker running(&destroyed);
    running.keep_running = true;
    running.Start();
    while (platform::WaitAndPumpSynchronizedCalls(10) == 0) {
    }
  }  // the destructor terminates and joins
  EXPECT_EQ(destroyed, 2);
}

}  // namespace
