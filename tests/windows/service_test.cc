// A stand-in for vantrel.exe with the same command line and service code but
// no monitor: as the service it writes "running" to service-state.txt in its
// working folder, waits for the stop request and writes "stopped in order".
// Driven by service-under-wine.sh through the service manager.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/service.h"
#include "runtime/command_line.h"

namespace {

std::atomic<bool> stopRequested{false};

int body() {
  replaceFileContents("service-state.txt", "running");
  reportServiceRunning();
  while (!stopRequested) Sleep(50);
  replaceFileContents("service-state.txt", "stopped in order");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  std::string error;
  if (!line.workdir.empty() && !changeWorkingFolder(line.workdir, error)) {
    fprintf(stderr, "cannot work in %s: %s\n", line.workdir.c_str(), error.c_str());
    return 1;
  }
  ServiceOutcome outcome;
  int status = 0;
  switch (line.action) {
    case CommandAction::installService: outcome = installService(); break;
    case CommandAction::removeService: outcome = removeService(); break;
    case CommandAction::runService: outcome = runAsService(body, &stopRequested, status); break;
    default:
      fprintf(stderr, "%s", kUsageLine);
      return 2;
  }
  printf("%s\n", outcome.detail.c_str());
  return outcome.result == ServiceResult::done ? status : 1;
}
