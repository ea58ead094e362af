// Windows clock: the system time's 100 ns ticks since 1601, moved to the
// 1970 epoch and truncated to milliseconds.
#include "platform/clock.h"

#include <windows.h>

uint64_t currentTimeMillis() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER ticks;
  ticks.LowPart = ft.dwLowDateTime;
  ticks.HighPart = ft.dwHighDateTime;
  const uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;
  return (ticks.QuadPart - kTicksFrom1601To1970) / 10000u;
}

void sleepMillis(uint32_t ms) { Sleep(ms); }
