#include "app/supervisors.h"

#include "app/console.h"
#include "app/settings.h"
#include "app/shutdown.h"
#include "app/state.h"
#include "capture/capture.h"
#include "discovery/discovery.h"
#include "export/export_sender.h"
#include "flow/flow_table.h"
#include "platform/clock.h"

void snifferPass() {
  if (stopRequested) return;
  Json::Value listener = settingValue("listenerIP");
  if (listener != Json::Value("0.0.0.0")) {
    keepSniffing = true;
    // A stop that came in meanwhile wins over the flag just set.
    if (stopRequested) {
      keepSniffing = false;
      return;
    }
    consoleWrite("Listening as ip is correct " + jsonText(listener) + "\n");
    discoverInterfaces();
    runSniffer();
    snifferRunning = false;
  } else {
    keepSniffing = false;
    consoleWrite("Not listening as ip is incorrect " + jsonText(listener) + "\n");
  }
}

void exporterPass() {
  if (stopRequested) return;
  Json::Value receiver = settingValue("receiverIP");
  if (receiver != Json::Value("0.0.0.0")) {
    keepSendingExports = true;
    if (stopRequested) {
      keepSendingExports = false;
      return;
    }
    consoleWrite("Exporting as ip is correct " + jsonText(receiver) + "\n");
    exportsender();
    exporterRunning = false;
  } else {
    keepSendingExports = false;
    consoleWrite("Not exporting as ip is incorrect " + jsonText(receiver) + "\n");
  }
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
