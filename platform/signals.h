// Stop requests from the operating system: SIGINT, SIGTERM and SIGHUP on Linux;
// Ctrl+C, Ctrl+Break, console close, log-off and shut-down on Windows.
#pragma once

#include <atomic>

// Installs the handlers. The first request sets `*requested`; a second one
// ends the process at once with a failure status.
void installStopHandlers(std::atomic<bool>* requested);
