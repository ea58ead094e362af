// Program entry: start-up sequence, then the worker threads, then idle.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/shutdown.h"
#include "app/supervisors.h"
#include "discovery/discovery.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "process/owner_events.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/traffic_history.h"
#include "web/http_server.h"

int main() {
  // Console lines reach a pipe or log file at once. (A buffer size is given:
  // the Windows C runtime refuses a line-buffered stream without one.)
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  installStopHandlers(&stopRequested);

  startTrafficHistory(currentTimeMillis());
  discoverInterfaces();
  loadSettings();

  consolePrintf("Calling startHTTPDaemon\n");
  const int32_t httpPort = settingPort("httpPort");
  consolePrintf("startHTTPDaemon on port %i!\n", httpPort);
  std::string whyNot;
  MHD_Daemon* daemon = startHTTPDaemon(static_cast<uint16_t>(httpPort), whyNot);
  if (daemon == nullptr) {
    consolePrintf("startHTTPDaemon Null!\n");
    consolePrintf("The web interface is off: %s\n", whyNot.c_str());
  }

  // Before capture starts, so that its hand-over suits the owner source.
  startOwnerEvents(settingValue("ownerEvents") != Json::Value(false));

  consolePrintf("Calling startSniffer\n");
  consoleWrite("startSniffer listening on at " + jsonText(settingValue("listenerIP")) + " , sending to " +
               jsonText(settingValue("receiverIP")) + " port " + jsonText(settingValue("receiverPort")) +
               "\n");

  std::thread(snifferThread).detach();
  std::thread(exporterThread).detach();

  consolePrintf("In main\n");
  while (!stopRequested) sleepMillis(100);
  const int status = stopGracefully();
  // The worker and web threads are still alive: end without running static
  // destructors under them.
  fflush(stdout);
  std::_Exit(status);
}
