#include "export/export_sender.h"

#include "app/state.h"
#include "platform/clock.h"

// Placeholder until the export sender lands: sends nothing.
void exportsender() {
  exporterRunning = true;
  while (keepSendingExports) sleepMillis(100);
  exporterRunning = false;
}
