#include "platform/Clock.h"

namespace platform {

namespace internal {
LocalTime SystemNow();
}

LocalTime Now() { return internal::SystemNow(); }

}  // namespace platform
