// The name, account and domain of a process, as a flow carries them. Keeps
// no state; called by the port-to-process tables on the capture thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/process_info.h"
#include "process/control_group.h"
#include "runtime/flow_owner.h"

// Longest name taken from an image path; a longer path keeps its tail.
inline constexpr size_t kProcessNameMax = 30;

// Returns the process name: its image path with "/" for "\", cut to its
// last 30 bytes, or "Pid:" and the decimal pid when the process or its path
// cannot be read. Sets `user` and `domain` to the token's account, or to
// empty when the token opens but its account cannot be had; leaves them as
// they are when the process or its token cannot be opened.
std::string getProcessIdentity(uint32_t pid, std::string& user, std::string& domain);

// The same from a process description already read; prints the failure line
// of an account lookup that failed for another reason than an unmapped
// account.
std::string identityFromInfo(uint32_t pid, const ProcessInfo& info, std::string& user, std::string& domain);

// The whole owner of a process from its description: identityFromInfo's
// name, user and domain, and the service and container of cgroup `group`
// when given, else of the cgroup `info` names; without a cgroup's unit, the
// services the service manager lists for the process (hostedServices).
OwnerRef ownerFromInfo(uint32_t pid, const ProcessInfo& info, const ControlGroupNames* group = nullptr);
