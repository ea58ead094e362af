// Program entry: the command line, then the start-up sequence, the worker
// threads and idle until a stop is asked for, in the console or, on Windows,
// as a service.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/shutdown.h"
#include "app/supervisors.h"
#include "discovery/discovery.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/signals.h"
#include "process/owner_events.h"
#include "runtime/command_line.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/traffic_history.h"
#include "web/http_server.h"
#include "web/https_setup.h"
#include "web/metrics_server.h"

namespace {

// The monitor from start-up to the orderly stop; returns the exit status.
int runMonitor() {
  startTrafficHistory(currentTimeMillis());
  discoverInterfaces();
  loadSettings();

  consolePrintf("Calling startHTTPDaemon\n");
  const int32_t httpPort = settingPort("httpPort");
  consolePrintf("startHTTPDaemon on port %i!\n", httpPort);
  std::string whyNot;
  HttpsCredentials https;
  const WebTransport transport = prepareHttps(static_cast<int64_t>(currentTimeMillis() / 1000), https, whyNot);
  MHD_Daemon* daemon = nullptr;
  if (transport != WebTransport::off) {
    daemon = startHTTPDaemon(static_cast<uint16_t>(httpPort), transport == WebTransport::https ? &https : nullptr,
                             whyNot);
  }
  if (daemon == nullptr) {
    consolePrintf("startHTTPDaemon Null!\n");
    consolePrintf("The web interface is off: %s\n", whyNot.c_str());
  }
  startMetricsServer();

  // Before capture starts, so that its hand-over suits the owner source.
  startOwnerEvents(settingValue("ownerEvents") != Json::Value(false));

  consolePrintf("Calling startSniffer\n");
  consoleWrite("startSniffer listening on at " + jsonText(settingValue("listenerIP")) + " , sending to " +
               jsonText(settingValue("receiverIP")) + " port " + jsonText(settingValue("receiverPort")) +
               "\n");

  std::thread(snifferThread).detach();
  std::thread(exporterThread).detach();

  consolePrintf("In main\n");
  reportServiceRunning();
  while (!stopRequested) sleepMillis(100);
  return stopGracefully();
}

// The result of --install-service or --remove-service; returns the exit status.
int serviceAnswer(const char* option, const char* doing, const ServiceOutcome& outcome) {
  switch (outcome.result) {
    case ServiceResult::done:
      printf("%s\n", outcome.detail.c_str());
      return 0;
    case ServiceResult::unsupported:
      fprintf(stderr, "vantrel: %s is for Windows; on Linux systemd runs the monitor as vantrel.service\n", option);
      return 2;
    case ServiceResult::failed:
      break;
  }
  fprintf(stderr, "vantrel: cannot %s the service: %s\n", doing, outcome.detail.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Console lines reach a pipe or log file at once. (A buffer size is given:
  // the Windows C runtime refuses a line-buffered stream without one.)
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  const CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandAction::help:
      fputs(helpText().c_str(), stdout);
      return 0;
    case CommandAction::version:
      fputs(versionText().c_str(), stdout);
      return 0;
    case CommandAction::usageError:
      fprintf(stderr, "%s\n%s", line.error.c_str(), kUsageLine);
      return 2;
    default:
      break;
  }
  if (!line.workdir.empty()) {
    std::string error;
    if (!changeWorkingFolder(line.workdir, error)) {
      fprintf(stderr, "vantrel: cannot work in %s: %s\n", line.workdir.c_str(), error.c_str());
      return 1;
    }
  }

  int status = 0;
  switch (line.action) {
    case CommandAction::installService:
      return serviceAnswer("--install-service", "install", installService());
    case CommandAction::removeService:
      return serviceAnswer("--remove-service", "remove", removeService());
    case CommandAction::runService: {
      const ServiceOutcome outcome = runAsService(runMonitor, &stopRequested, status);
      if (outcome.result == ServiceResult::unsupported) return serviceAnswer("--service", "run", outcome);
      if (outcome.result == ServiceResult::failed) {
        fprintf(stderr, "vantrel: --service is for the Service Control Manager only: %s\n", outcome.detail.c_str());
        return 1;
      }
      break;
    }
    default:
      // Not for the service: Windows sends services the log-off of any user
      // as a console event, and their stop comes from the service manager.
      installStopHandlers(&stopRequested);
      status = runMonitor();
      break;
  }
  // The worker and web threads are still alive: end without running static
  // destructors under them.
  fflush(stdout);
  std::_Exit(status);
}
