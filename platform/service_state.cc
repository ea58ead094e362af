#include "platform/service_state.h"

bool applyServiceEvent(ServiceStatusReport& status, ServiceEvent event, int exitStatus) {
  ServiceStatusReport next;
  switch (event) {
    case ServiceEvent::starting:
      if (status.state != ServiceState::stopped || status.finished) return false;
      next = {ServiceState::startPending, false, 1, kStartWaitHintMillis, 0, false};
      break;
    case ServiceEvent::started:
      if (status.state != ServiceState::startPending) return false;
      next = {ServiceState::running, true, 0, 0, 0, false};
      break;
    case ServiceEvent::stopAsked:
      if (status.state != ServiceState::startPending && status.state != ServiceState::running) return false;
      next = {ServiceState::stopPending, false, 1, kStopWaitHintMillis, 0, false};
      break;
    case ServiceEvent::ended:
      if (status.finished) return false;
      next = {ServiceState::stopped, false, 0, 0, static_cast<uint32_t>(exitStatus), true};
      break;
  }
  status = next;
  return true;
}
