// An engine that accepts control connections and never answers: each poll
// holds the window thread no longer than the control client's time-outs, and
// between polls the window keeps serving its messages and repainting. Runs
// on the build's own window backend (Win32 under Wine, headless natively).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "app/MainFormUnit.h"
#include "base/AppFolders.h"
#include "base/Endpoints.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "platform/gui/Gui.h"
#include "support/SkinFixture.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Takes every connection on the control port and keeps it silent.
class SilentEngine {
 public:
  SilentEngine() {
    EXPECT_EQ(listener_.Listen(endpoints::kLoopbackHost, endpoints::kEngineControlPort), 0u);
    thread_ = std::thread([this] {
      while (!stop_) {
        platform::TcpSocket peer;
        if (listener_.Accept(peer, 100) == 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          peers_.push_back(std::move(peer));
        }
      }
    });
  }
  ~SilentEngine() {
    stop_ = true;
    thread_.join();
  }
  std::size_t Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peers_.size();
  }

 private:
  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<platform::TcpSocket> peers_;
  std::thread thread_;
};

class CountingForm : public TNimbraMainForm {
 public:
  using TNimbraMainForm::TNimbraMainForm;
  void Paint(gui::Canvas& canvas) override {
    ++paints;
    TNimbraMainForm::Paint(canvas);
  }
  std::atomic<int> paints{0};
};

TEST(HungEngineTest, PollsAreBoundedAndTheWindowRepaintsBetweenThem) {
  test_support::IsolatedSystem system;
  test_support::TempFolder app;
  test_support::WriteSkins(app.Path());
  SetApplicationFolderForTesting(app.Path());
  InitAppFolders(system.CommonDocuments() + "/Nimbra");
  SilentEngine engine;
  {
    // No engine library in the folder: the host thread ends at once, and the
    // control port is the silent one above.
    TTorControl tor_control(app.Path());
    std::unique_ptr<gui::GuiSystem> gui = gui::CreateDefaultGui();
    TProgramSeams seams{*gui};
    seams.PipeName = "\\\\.\\PIPE\\NimbraHungEngineTest";
    seams.StartEventName = "Global\\NimbraHungEngineTestStart";
    seams.StartAddressLookup = [](TIPFoundEvent) {};
    CountingForm form(seams, tor_control);
    form.FormCreate();
    form.Show();

    const auto started = Clock::now();
    form.SetStarted(true);  // the first poll, on this thread
    const auto first_poll = Clock::now() - started;
    EXPECT_LT(first_poll, std::chrono::seconds(12)) << "one poll is bounded by the time-outs";
    EXPECT_EQ(form.Proxy_Address.Caption(), "Starting proxy: 0%");

    // A worker asks the window thread to repaint every 200 ms and notes
    // when each request was served.
    std::mutex mutex;
    std::vector<Clock::time_point> served;
    std::atomic<bool> stop{false};
    std::atomic<bool> worker_done{false};
    std::thread worker([&] {
      while (!stop) {
        platform::SynchronizedCall([&] {
          form.Window().Invalidate();
          std::lock_guard<std::mutex> lock(mutex);
          served.push_back(Clock::now());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      worker_done = true;
    });
    const int paints_before = form.paints;
    std::thread quitter([&] {
      std::this_thread::sleep_for(std::chrono::seconds(14));
      gui->QuitMessageLoop(0);
    });
    const auto loop_start = Clock::now();
    gui->RunMessageLoop();
    const auto loop_end = Clock::now();
    quitter.join();
    stop = true;
    // The worker may be waiting for one last call.
    while (!worker_done) platform::WaitAndPumpSynchronizedCalls(50);
    worker.join();

    EXPECT_GE(engine.Connections(), 3u) << "polled every 5 s, each poll one connection";
    EXPECT_LT(loop_end - loop_start, std::chrono::seconds(26)) << "the quit got through";
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(served.size(), 5u);
    std::chrono::steady_clock::duration longest{};
    for (std::size_t i = 1; i < served.size(); ++i) {
      longest = std::max(longest, served[i] - served[i - 1]);
    }
    EXPECT_LT(longest, std::chrono::seconds(12)) << "the window thread was held past one poll";
#ifdef _WIN32
    EXPECT_GT(form.paints - paints_before, 3) << "the window repainted between polls";
#else
    (void)paints_before;
#endif
  }
  SetApplicationFolderForTesting("");
}

}  // namespace
