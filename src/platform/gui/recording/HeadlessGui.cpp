// Without a window system the program runs on the recording backend with the
// real clock, says on standard output what it would show, and ends its
// message loop on SIGINT or SIGTERM (the way to close it from outside).
#include <csignal>
#include <cstdio>

#include "platform/gui/Gui.h"
#include "platform/gui/recording/RecordingGui.h"

namespace gui {

namespace {

RecordingGui* g_running = nullptr;

extern "C" void EndLoopOnSignal(int) {
  // Only atomic stores: safe in a signal handler.
  if (g_running != nullptr) g_running->QuitMessageLoop(0);
}

class HeadlessGui : public RecordingGui {
 public:
  HeadlessGui() : RecordingGui(ClockKind::Real) {
    SetEventSink([](const std::string& line) {
      std::printf("[gui] %s\n", line.c_str());
      std::fflush(stdout);
    });
    g_running = this;
    std::signal(SIGINT, EndLoopOnSignal);
    std::signal(SIGTERM, EndLoopOnSignal);
  }
  ~HeadlessGui() override {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_running = nullptr;
  }
};

}  // namespace

std::unique_ptr<GuiSystem> CreateDefaultGui() { return std::make_unique<HeadlessGui>(); }

}  // namespace gui
