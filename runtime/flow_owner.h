// The local process behind a flow: its name, account and domain. Made by the
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
};
using OwnerRef = std::shared_ptr<const FlowOwner>;

// An owner made from three strings; null when all three are empty.
OwnerRef makeOwner(std::string processname, std::string user, std::string domain);
