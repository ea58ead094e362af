// Connected stream (TCP) sockets owned by another library (the web server's):
// the one thing the monitor does to them itself. Any thread.
#pragma once

#include <cstdint>

// Shuts both directions of the connected socket `handle`, so that its owner's
// next wait or read ends and the owner closes it. The socket stays open: its
// number is not freed by this call. False when the system refuses.
bool streamShutdown(intptr_t handle);
