#include "platform/Clock.h"

#include <mutex>

namespace platform {

namespace internal {
LocalTime SystemNow();
}

namespace {
std::mutex g_clock_mutex;
std::function<LocalTime()> g_clock;
}  // namespace

LocalTime Now() {
  {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    if (g_clock) return g_clock();
  }
  return internal::SystemNow();
}

void SetClockForTesting(std::function<LocalTime()> clock) {
  std::lock_guard<std::mutex> lock(g_clock_mutex);
  g_clock = std::move(clock);
}

}  // namespace platform
