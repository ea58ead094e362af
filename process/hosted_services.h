// Which services each process runs, from the service manager's list (on
// Windows a process such as svchost.exe runs many). The parser is pure; the
// directory is read when the port tables are refreshed and, for a process
// the last read did not list, at once. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/hosted_services.h"

// Service names by process id from the entries of `read`'s buffers
// (ENUM_SERVICE_STATUS_PROCESSW: two name pointers, then nine 32-bit fields
// of which the eighth is the process id, padded to the pointer size). Each
// process's names are sorted and joined with ",", a comma within a name
// written as "_". Entries whose pointers or
// names leave their buffer, and processes numbered 0, are left out.
std::map<uint32_t, std::string> servicesByProcess(const ServiceListRead& read);

// The services running in process `pid`, joined as above; "" for a process
// that runs none, or where the system keeps no such list.
std::string hostedServices(uint32_t pid);

// Reads the list again; the port tables' refreshes call it.
void refreshHostedServices();
