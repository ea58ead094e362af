// The service status a Windows service reports to the Service Control
// Manager, worked out from what happened to it. Pure and portable, so the
// rules are tested anywhere; platform/windows/service.cc turns each report
// into a SetServiceStatus call. The caller serialises the calls.
#pragma once

#include <cstdint>

// The SCM's SERVICE_* state values.
enum class ServiceState : uint32_t { stopped = 1, startPending = 2, stopPending = 3, running = 4 };

enum class ServiceEvent {
  starting,   // the service manager started the process
  started,    // start-up is through
  stopAsked,  // a stop or shut-down request came
  ended,      // the monitor has stopped; carries its exit status
};

struct ServiceStatusReport {
  ServiceState state = ServiceState::stopped;
  bool acceptsStop = false;     // stop and shut-down requests are taken now
  uint32_t checkPoint = 0;      // progress count of a pending state
  uint32_t waitHintMillis = 0;  // how long the pending state may take
  uint32_t exitStatus = 0;      // in the stopped state: the monitor's status
  bool finished = false;        // the final stopped state has been reported
};

// How long the orderly stop may take (about 2 s) with room to spare, and
// start-up (interface discovery, settings, the web server).
inline constexpr uint32_t kStopWaitHintMillis = 5000;
inline constexpr uint32_t kStartWaitHintMillis = 10000;

// Applies `event` to `status`. Returns true when the service manager must be
// told the new status, false when the event changes nothing (a second stop
// request, a start after a stop request, anything after the end).
bool applyServiceEvent(ServiceStatusReport& status, ServiceEvent event, int exitStatus = 0);
