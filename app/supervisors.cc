#include "app/supervisors.h"

#include "app/shutdown.h"
#include "capture/capture.h"
#include "discovery/discovery.h"
#include "export/export_sender.h"
#include "flow/flow_table.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/workers.h"

namespace {

// The capture run: discovery first, since it may fill an empty listenerIP.
void captureRun() {
  discoverInterfaces();
  runSniffer();
}

// One pass of a supervisor: while the worker's setting is not "0.0.0.0", one
// run (the keep flag set before it, the running flag cleared after it);
// otherwise the keep flag cleared. A stop request starts no run.
void supervisorPass(const Worker& w, void (*run)()) {
  if (stopRequested) return;
  const Json::Value value = settingValue(w.settingKey);
  if (value != Json::Value("0.0.0.0")) {
    w.keep = true;
    // A stop that came in meanwhile wins over the flag just set.
    if (stopRequested) {
      w.keep = false;
      return;
    }
    consoleWrite(w.onLine + jsonText(value) + "\n");
    run();
    w.running = false;
  } else {
    w.keep = false;
    consoleWrite(w.offLine + jsonText(value) + "\n");
  }
}

}  // namespace

void snifferPass() { supervisorPass(captureWorker, captureRun); }

void exporterPass() {
  if (stopRequested) return;
  supervisorPass(exportWorker, exportsender);
  clearExports();
}

void snifferThread() {
  for (;;) {
    snifferPass();
    sleepMillis(500);
  }
}

void exporterThread() {
  for (;;) {
    exporterPass();
    sleepMillis(500);
  }
}
