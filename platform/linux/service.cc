// Linux: systemd runs the monitor through its unit (vantrel.service), so
// there is nothing to register here and no service manager to talk to.
#include "platform/service.h"

namespace {
ServiceOutcome unsupported() { return {ServiceResult::unsupported, ""}; }
}  // namespace

ServiceOutcome installService() { return unsupported(); }
ServiceOutcome removeService() { return unsupported(); }
ServiceOutcome runAsService(int (*)(), std::atomic<bool>*, int&) { return unsupported(); }
void reportServiceRunning() {}
