// The service and container a Linux process runs in, read from its cgroup v2
// path, and the map from cgroup ids (as the kernel's owner events carry
// them) to those names. The parsers are pure; the map belongs to the thread
// that uses it (the owner-events thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

struct ControlGroupNames {
  std::string service;    // innermost systemd unit other than a slice; "" when none
  std::string container;  // first 12 hex digits of the container id, else a pod's UID; "" when none
};

// The names a cgroup v2 path (relative to the hierarchy's root, "/a/b")
// holds. Unit names keep their escapes ("\x2d") as systemd wrote them.
ControlGroupNames namesOfControlGroup(std::string_view path);

// The cgroup v2 path from the text of /proc/PID/cgroup (its "0::" line),
// without a " (deleted)" mark; "" when the text has no such line.
std::string controlGroupOfProcess(std::string_view procCgroupText);

// Visits every cgroup of the v2 hierarchy with its id and its path; the
// visitor returns false to end the walk early. Returns false when the
// hierarchy could not be read.
using ControlGroupWalk = std::function<bool(const std::function<bool(uint64_t id, std::string_view path)>& visit)>;

// Most cgroups the map holds.
inline constexpr size_t kControlGroupMapMax = 65536;

// cgroup ids to names, filled by whole walks of the hierarchy: a cgroup
// unknown to the map starts a walk that rebuilds it (dropping the cgroups
// removed since), and an id the walk does not find either is remembered as
// nameless until the next walk. A cgroup is thus walked for once, not once
// per socket or packet.
struct ControlGroupMap {
  std::unordered_map<uint64_t, ControlGroupNames> byId;
  size_t walks = 0;
};

// The names of cgroup `id` (nullptr for id 0 or when the hierarchy cannot be
// read); walks through `walk` when the id is not in the map.
const ControlGroupNames* findControlGroup(ControlGroupMap& map, uint64_t id, const ControlGroupWalk& walk);
