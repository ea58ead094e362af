// Text of /proc/PID/cgroup through the cgroup line's reader and the path's
// unit and container parser. A service is a component of the path; a
// container is 12 lower- or upper-case hex digits or a 36-character pod UID.
#include <cstdint>
#include <string>

#include "process/control_group.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = controlGroupOfProcess(text);
  if (path.find('\n') != std::string::npos) __builtin_trap();
  for (const std::string& p : {path, text}) {
    const ControlGroupNames names = namesOfControlGroup(p);
    if (!names.service.empty() && (names.service.find('/') != std::string::npos || p.find(names.service) == std::string::npos)) {
      __builtin_trap();
    }
    const size_t n = names.container.size();
    if (n != 0 && n != 12 && n != 36) __builtin_trap();
  }
  return 0;
}
