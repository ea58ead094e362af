// Wall clock and sleeping, the time base of every stamp the monitor makes.
// Safe to call from any thread.
#pragma once

#include <cstdint>

// Milliseconds since 1970-01-01 00:00 UTC, truncated (not rounded) from the
// system clock's finer count.
uint64_t currentTimeMillis();

// Blocks the calling thread for about `ms` milliseconds.
void sleepMillis(uint32_t ms);
