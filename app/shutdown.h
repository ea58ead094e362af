// The orderly stop on SIGINT/SIGTERM/SIGHUP: capture stops, every open flow goes to
// the export loop, which sends it with its partly filled datagram, and the
// process ends. Main thread only.
#pragma once

#include <atomic>

// Set by the stop handlers; the supervisors start no new run once it is set.
extern std::atomic<bool> stopRequested;

// Runs the stop and returns the process's exit status (0). Takes at most
// about 2 s.
int stopGracefully();
