#include "capture/capture.h"

#include "app/state.h"
#include "platform/clock.h"

// Placeholder until the capture socket lands: captures nothing.
void runSniffer() {
  snifferRunning = true;
  while (keepSniffing) sleepMillis(100);
  snifferRunning = false;
}
