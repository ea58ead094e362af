#include "app/supervisors.h"

#include "app/shutdown.h"
#include "capture/capture.h"
#include "discovery/discovery.h"
#include "export/export_sender.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "runtime/workers.h"

namespace {

// The capture run: discovery first, since it may fill an empty listenerIP.
void captureRun() {
  discoverInterfaces();
  runSniffer();
}

// A worker runs on a dotted-decimal IPv4 address other than 0.0.0.0; capture
// also on an empty listenerIP, which discovery fills. Anything else ("0.0.0.0",
// a host name, "999.1.1.1") turns the worker off: an address the system
// cannot read would otherwise send the export to this machine.
bool turnsOn(const Worker& w, const Json::Value& value) {
  if (!value.isString()) return false;
  const std::string text = value.asString();
  uint32_t address = 0;
  return (text.empty() && &w == &captureWorker) || (parseDotted(text, address) && address != 0);
}

// One pass of a supervisor: while the worker's setting is a usable address,
// one run (the keep flag set before it, the running flag cleared after it,
// its lines shown by the quiet-retry rule); otherwise the keep flag cleared.
// A stop request starts no run. False when the worker is off.
bool supervisorPass(const Worker& w, void (*run)()) {
  if (stopRequested) return true;
  const Json::Value value = settingValue(w.settingKey);
  if (turnsOn(w, value)) {
    w.keep = true;
    // A stop that came in meanwhile wins over the flag just set.
    if (stopRequested) {
      w.keep = false;
      return true;
    }
    holdRunLines(w);
    consoleWrite(w.onLine + jsonText(value) + "\n");
    run();
    w.running = false;
    showRunLines(w, currentTimeMillis());
  } else {
    w.keep = false;
    showOffLine(w, w.offLine + jsonText(value) + "\n", currentTimeMillis());
    return false;
  }
  return true;
}

}  // namespace

void snifferPass() {
  if (!supervisorPass(captureWorker, captureRun)) setCaptureStatus(CaptureState::kOff);
}

void exporterPass() {
  if (stopRequested) return;
  supervisorPass(exportWorker, exportsender);
  exportsDropped.fetch_add(clearExports());
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
