#include "runtime/repeats.h"

RepeatVerdict passGate(RepeatGate& gate, std::string_view message, uint64_t now, uint64_t intervalMillis) {
  RepeatVerdict v;
  if (!gate.any || message != gate.shown) {
    gate.shown.assign(message);
    gate.any = true;
    gate.shownAt = now;
    gate.leftOut = 0;
    v.show = true;
    return v;
  }
  if (now >= gate.shownAt && now - gate.shownAt < intervalMillis) {
    ++gate.leftOut;
    return v;
  }
  v.show = true;
  v.again = true;
  v.leftOut = gate.leftOut;
  gate.shownAt = now;
  gate.leftOut = 0;
  return v;
}

void resetGate(RepeatGate& gate) {
  gate.any = false;
  gate.leftOut = 0;
}
