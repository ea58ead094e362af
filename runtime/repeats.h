// Repeated console messages: the same message again within an interval of its
// last showing is counted instead of printed, and the next showing says how
// many were left out. Per-packet messages use it with a 1 s interval, the
// supervisors with a minute. A gate belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct RepeatGate {
  std::string shown;      // the message last shown
  uint64_t shownAt = 0;   // when, in ms
  uint64_t leftOut = 0;   // the same message held back since
  bool any = false;       // something has been shown
};

struct RepeatVerdict {
  bool show = false;     // print now
  bool again = false;    // the message is the one last shown (print its short form)
  uint64_t leftOut = 0;  // when again: how many of it were held back since it was last shown
};

// A message that differs from the one last shown is shown at once; the same
// one is held back until `intervalMillis` have passed since it was last
// shown, then shown again with the count of those held back. A clock that
// went back counts as the interval passed. Allocates only when the message
// changes.
RepeatVerdict passGate(RepeatGate& gate, std::string_view message, uint64_t now, uint64_t intervalMillis);

// Forgets the message last shown, so that the next one is shown in full.
void resetGate(RepeatGate& gate);
