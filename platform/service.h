// Running as a system service. On Windows the Service Control Manager
// registers, starts and stops the monitor; on Linux systemd does all of that
// through the unit file, so every call here reports `unsupported` there.
// Main thread only, except reportServiceRunning (any thread).
#pragma once

#include <atomic>
#include <string>

inline constexpr const char* kServiceName = "vantrel";

enum class ServiceResult { done, unsupported, failed };

struct ServiceOutcome {
  ServiceResult result = ServiceResult::done;
  std::string detail;  // done: what was registered; failed: the system's error text
};

// Registers this executable as the service kServiceName, started with the
// system, running "<program> --service --workdir <program's folder>".
ServiceOutcome installService();

// Stops the service if it runs (waiting up to 10 s) and removes it.
ServiceOutcome removeService();

// Hands the calling (main) thread to the service manager and runs `body` as
// the service: start pending until reportServiceRunning, a stop or shut-down
// request sets `*stopRequested` and reports stop pending, and the service is
// reported stopped with body's status when body returns. A process that
// calls exit() meanwhile is reported stopped with status 1. Returns once the
// service has stopped, with body's status in `status`; fails at once when
// the process was not started by the service manager.
ServiceOutcome runAsService(int (*body)(), std::atomic<bool>* stopRequested, int& status);

// Tells the service manager that start-up is through. Does nothing when the
// process is not running as a service.
void reportServiceRunning();
