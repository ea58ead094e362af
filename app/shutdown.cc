#include "app/shutdown.h"

#include "export/export_sender.h"
#include "flow/flow_table.h"
#include "process/owner_events.h"
#include "runtime/console.h"
#include "runtime/state.h"
#include "runtime/workers.h"

std::atomic<bool> stopRequested{false};

int stopGracefully() {
  stopWorker(captureWorker, 700);
  size_t handed;
  {
    std::lock_guard<std::mutex> lock(flowTableMutex);
    handed = moveAllFlows();
  }
  const bool exporting = exporterRunning;
  bool drained = stopWorker(exportWorker, exportStopMillis(handed));
  stopOwnerEvents();
  if (exporting && drained) {
    consolePrintf("Stopped: %zu open flows handed to export, %d export datagrams sent\n", handed,
                  exportsSent.load());
  } else {
    consolePrintf("Stopped: %zu open flows not exported (no export running), %d export datagrams sent\n",
                  handed, exportsSent.load());
  }
  return 0;
}
