#include "platform/signals.h"

#include <windows.h>

namespace {
std::atomic<bool>* stopFlag = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (stopFlag->exchange(true)) ExitProcess(1);
  // For a console close the system ends the process once the handler
  // returns: give the orderly stop its time first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(3000);
  return TRUE;
}
}  // namespace

void installStopHandlers(std::atomic<bool>* requested) {
  stopFlag = requested;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
