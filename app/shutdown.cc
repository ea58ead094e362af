#include "app/shutdown.h"

#include <chrono>

#include "app/console.h"
#include "app/state.h"
#include "flow/flow_table.h"
#include "platform/clock.h"

std::atomic<bool> stopRequested{false};

namespace {

// Polls every 10 ms until `running` is false, clearing `keep` each time in
// case a supervisor set it just before it saw the stop. False on time-out.
bool waitStopped(std::atomic<bool>& keep, std::atomic<bool>& running, uint32_t timeoutMs) {
  for (uint32_t waited = 0;; waited += 10) {
    keep = false;
    if (!running) return true;
    if (waited >= timeoutMs) return false;
    sleepMillis(10);
  }
}

}  // namespace

int stopGracefully() {
  waitStopped(keepSniffing, snifferRunning, 700);
  size_t handed;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    handed = moveAllFlows();
  }
  const bool exporting = exporterRunning;
  bool drained = waitStopped(keepSendingExports, exporterRunning, 1000);
  if (exporting && drained) {
    consolePrintf("Stopped: %zu open flows handed to export, %d export datagrams sent\n", handed,
                  exportsSent.load());
  } else {
    consolePrintf("Stopped: %zu open flows not exported (no export running), %d export datagrams sent\n",
                  handed, exportsSent.load());
  }
  return 0;
}
