// Notices of changes to the machine's addresses, so that capture can follow
// a listener that discovery chose and the watched interface's IPv6 set.
// Both families' changes are noticed (on Windows IPv4 ones only where the
// system lacks the newer notification). Used by the
// capture routine on the capture thread; one watch per capture run. Never
// blocks.
#pragma once

#include <cstdint>

struct AddressWatch {
  intptr_t handle = -1;    // Linux: the rtnetlink socket; -1 when not open
  void* notice = nullptr;  // Windows: the pending change notification
};

// Starts watching. False, with the system's error number, when it cannot.
bool addressWatchOpen(AddressWatch& w, int& error);

// True when an address was added or removed (or notices were lost)
// since the watch opened or this last returned true.
bool addressesChanged(AddressWatch& w);

// Stops watching; nothing when the watch is not open.
void addressWatchClose(AddressWatch& w);
