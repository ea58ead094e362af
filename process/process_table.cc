#include "process/process_table.h"

// Placeholder until process attribution lands: no owners are found.
std::mutex processTableMutex;
ProcessTable tcpProcessIDs;
ProcessTable udpProcessIDs;

void lookupTcpProcess(uint64_t, int32_t, OwnerRef&) {}
void lookupUdpProcess(uint64_t, int32_t, OwnerRef&) {}

std::vector<ProcessEntry> copyTcpProcessIDs() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  std::vector<ProcessEntry> out;
  for (const auto& e : tcpProcessIDs) out.push_back(e.second);
  return out;
}
std::vector<ProcessEntry> copyUdpProcessIDs() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  std::vector<ProcessEntry> out;
  for (const auto& e : udpProcessIDs) out.push_back(e.second);
  return out;
}
size_t tcpProcessCount() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  return tcpProcessIDs.size();
}
size_t udpProcessCount() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  return udpProcessIDs.size();
}
