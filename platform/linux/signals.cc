#include "platform/signals.h"

#include <signal.h>
#include <unistd.h>

namespace {
std::atomic<bool>* stopFlag = nullptr;

void onSignal(int sig) {
  if (stopFlag->exchange(true)) _exit(128 + sig);
}
}  // namespace

void installStopHandlers(std::atomic<bool>* requested) {
  stopFlag = requested;
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed terminal: the same orderly stop, so no open flow is lost.
  sigaction(SIGHUP, &action, nullptr);
}
