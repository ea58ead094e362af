// The local process behind a flow: its name, account and domain, and the
// service and container it runs in. Made by the
// process tables and carried by flow records; shared read-only between them,
// so any thread may hold and read one.
#pragma once

#include <memory>
#include <string>

// Shared between the port table entry it came from and every record that
// carries it, so a record stays small and copying one never copies the
// strings.
struct FlowOwner {
  std::string processname;
  std::string user;
  std::string domain;
  std::string service;    // systemd unit (Linux) or the services it hosts, joined with "," (Windows)
  std::string container;  // container id, 12 hex digits, or a pod's UID; "" outside containers
};
using OwnerRef = std::shared_ptr<const FlowOwner>;

// An owner made from its strings; null when all are empty.
OwnerRef makeOwner(std::string processname, std::string user, std::string domain, std::string service = {},
                   std::string container = {});
