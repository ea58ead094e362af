// Linux clock: CLOCK_REALTIME, nanoseconds truncated to milliseconds.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

uint64_t currentTimeMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sleepMillis(uint32_t ms) {
  struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}
