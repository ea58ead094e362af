#include "runtime/workers.h"

#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/state.h"

const Worker captureWorker{
    "listenerIP",
    keepSniffing,
    snifferRunning,
    "Listening as ip is correct ",
    "Not listening as ip is incorrect ",
    "Re-Starting Sniffer\nStopping sniffer\n",
    "(ws)",
    "Stopped sniffer,restarting\n",
};

const Worker exportWorker{
    "receiverIP",
    keepSendingExports,
    exporterRunning,
    "Exporting as ip is correct ",
    "Not exporting as ip is incorrect ",
    "Re-Starting Exporter\nStopping Exporter\n",
    "(we)",
    "Stopped Exporter,restarting\n",
};

void restartWorker(const Worker& w) {
  consoleWrite(w.restartLines);
  w.keep = false;
  while (w.running) {
    sleepMillis(10);
    consoleWrite(w.waitMark);
  }
  consoleWrite(w.restartedLine);
  w.keep = true;
}

bool stopWorker(const Worker& w, uint32_t timeoutMs) {
  for (uint32_t waited = 0;; waited += 10) {
    w.keep = false;
    if (!w.running) return true;
    if (waited >= timeoutMs) return false;
    sleepMillis(10);
  }
}
