#include "process/process_table.h"

#include <atomic>
#include <bitset>
#include <unordered_set>

#include "platform/process_info.h"
#include "process/owner_table.h"
#include "process/hosted_services.h"
#include "process/process_identity.h"
#include "runtime/console.h"

std::mutex processTableMutex;
ProcessTable tcpProcessIDs;
ProcessTable udpProcessIDs;

namespace {

std::vector<ProcessEntry> copyTable(const ProcessTable& table) {
  std::lock_guard<std::mutex> lock(processTableMutex);
  std::vector<ProcessEntry> out;
  out.reserve(table.size());
  for (const auto& e : table) out.push_back(e.second);
  return out;
}

}  // namespace

// Every port still gets its own identity (and its own failure line).
IdentityReader identityForOneRefresh() {
  auto known = std::make_shared<std::unordered_map<uint32_t, ProcessInfo>>();
  return [known](uint32_t pid) {
    auto it = known->find(pid);
    if (it == known->end()) it = known->emplace(pid, readProcessInfo(pid)).first;
    return ownerFromInfo(pid, it->second);
  };
}

void pruneProcessIDs(ProcessTable& table, uint64_t now) {
  std::vector<int32_t> stale;
  for (const auto& e : table) {
    if (e.second.lastseen < now) stale.push_back(e.first);
  }
  for (int32_t port : stale) table.erase(port);
}

void applyEndpointRows(ProcessTable& table, const std::vector<EndpointRow>& rows, uint64_t now,
                       const RowOwner& ownerOf) {
  for (const EndpointRow& row : rows) {
    const int32_t port = row.localPort;
    auto it = table.find(port);
    if (it != table.end()) {
      it->second.lastseen = now;
      continue;
    }
    ProcessEntry entry;
    entry.pid = static_cast<int32_t>(row.pid);
    entry.port = port;
    entry.owner = ownerOf(row);
    if (!entry.owner) entry.owner = makeOwner("Pid:" + std::to_string(row.pid), "", "");
    entry.lastseen = now;
    entry.firstseen = now;
    table.emplace(port, std::move(entry));
  }
  pruneProcessIDs(table, now);
}

std::vector<EndpointRow> rowsForNewPorts(const ProcessTable& table, const std::vector<EndpointRow>& rows) {
  std::vector<EndpointRow> fresh;
  std::unordered_set<int32_t> taken;
  for (const EndpointRow& row : rows) {
    const int32_t port = row.localPort;
    if (table.count(port) == 0 && taken.insert(port).second) fresh.push_back(row);
  }
  return fresh;
}

std::string endpointFailureText(const EndpointRead& read) {
  switch (read.status) {
    case EndpointStatus::kOk:
      return "";
    case EndpointStatus::kNoMemory:
      return "Error allocating memory\n";
    case EndpointStatus::kReadFailed:
      return "\t" + read.function + " failed with " + std::to_string(read.code) + "\n";
  }
  return "";
}

void refreshProcessTable(ProcessTable& table, uint64_t now, const EndpointReader& read,
                         const IdentityReader& identity) {
  std::bitset<65536> known;
  {
    std::lock_guard<std::mutex> lock(processTableMutex);
    for (const auto& e : table) {
      if (e.first >= 0 && e.first <= 65535) known.set(static_cast<size_t>(e.first));
    }
  }
  const EndpointTable rows = read([&known](uint16_t port) { return !known.test(port); });
  if (rows.status != EndpointStatus::kOk) {
    consoleWrite(endpointFailureText(rows));
    return;
  }
  std::vector<EndpointRow> fresh;
  {
    std::lock_guard<std::mutex> lock(processTableMutex);
    fresh = rowsForNewPorts(table, rows.rows);
  }
  std::unordered_map<int32_t, OwnerRef> owners;
  owners.reserve(fresh.size());
  for (const EndpointRow& row : fresh) owners.emplace(row.localPort, identity(row.pid));
  std::lock_guard<std::mutex> lock(processTableMutex);
  // The look-up worker refreshes, and a web reader while owner events run;
  // should another refresh have run meanwhile, a port that became new since
  // the rows were read gets its pid's fallback name.
  applyEndpointRows(table, rows.rows, now, [&owners](const EndpointRow& row) -> OwnerRef {
    auto it = owners.find(row.localPort);
    return it == owners.end() ? nullptr : it->second;
  });
}

void lookupProcess(ProcessTable& table, uint64_t now, int32_t port, OwnerRef& owner, const SocketProbe& probe,
                   const std::function<void()>& refresh, MissPause& pause) {
  {
    std::lock_guard<std::mutex> lock(processTableMutex);
    auto it = table.find(port);
    if (it != table.end()) {
      owner = it->second.owner;
      return;
    }
  }
  if (probe() == SocketPresence::kAbsent) return;
  if (pause.active && now - pause.since < kFruitlessRefreshPauseMillis) return;
  refresh();
  std::lock_guard<std::mutex> lock(processTableMutex);
  auto it = table.find(port);
  if (it != table.end()) {
    owner = it->second.owner;
    pause.active = false;
  } else {
    pause.active = true;
    pause.since = now;
  }
}

namespace {
bool findIn(const ProcessTable& table, int32_t port, OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(processTableMutex);
  auto it = table.find(port);
  if (it == table.end()) return false;
  owner = it->second.owner;
  return true;
}
}  // namespace

bool findTcpProcess(int32_t port, OwnerRef& owner) { return findIn(tcpProcessIDs, port, owner); }
bool findUdpProcess(int32_t port, OwnerRef& owner) { return findIn(udpProcessIDs, port, owner); }

void refreshTcpProcessIDs(uint64_t now) {
  refreshHostedServices();
  refreshProcessTable(tcpProcessIDs, now, readTcpEndpoints, identityForOneRefresh());
}

void refreshUdpProcessIDs(uint64_t now) {
  refreshHostedServices();
  refreshProcessTable(udpProcessIDs, now, readUdpEndpoints, identityForOneRefresh());
}

namespace {
// The look-up worker only, like the lookups.
MissPause tcpMissPause, udpMissPause;

SocketPresence cannotTell() { return SocketPresence::kUnknown; }
}  // namespace

void lookupTcpProcess(uint64_t now, int32_t port, OwnerRef& owner) {
  lookupProcess(tcpProcessIDs, now, port, owner, cannotTell, [now] { refreshTcpProcessIDs(now); }, tcpMissPause);
}

void lookupUdpProcess(uint64_t now, int32_t port, OwnerRef& owner) {
  lookupProcess(udpProcessIDs, now, port, owner, cannotTell, [now] { refreshUdpProcessIDs(now); }, udpMissPause);
}

void lookupTcpProcess(uint64_t now, const SocketEnds& ends, OwnerRef& owner) {
  lookupProcess(
      tcpProcessIDs, now, ends.localPort, owner, [&ends] { return probeTcpSocket(ends); },
      [now] { refreshTcpProcessIDs(now); }, tcpMissPause);
}

void lookupUdpProcess(uint64_t now, const SocketEnds& ends, OwnerRef& owner) {
  lookupProcess(
      udpProcessIDs, now, ends.localPort, owner, [&ends] { return probeUdpSocket(ends); },
      [now] { refreshUdpProcessIDs(now); }, udpMissPause);
}

namespace {
std::atomic<uint64_t> tcpReaderRefresh{0}, udpReaderRefresh{0};

// True for the one caller that may refresh now: owner events run and the
// last readers' refresh is a second old or more.
bool claimReaderRefresh(std::atomic<uint64_t>& last, uint64_t now) {
  if (!ownerEventsRunning) return false;
  uint64_t seen = last.load();
  return now - seen >= 1000 && last.compare_exchange_strong(seen, now);
}
}  // namespace

void refreshTcpProcessIDsForReaders(uint64_t now) {
  if (claimReaderRefresh(tcpReaderRefresh, now)) refreshTcpProcessIDs(now);
}

void refreshUdpProcessIDsForReaders(uint64_t now) {
  if (claimReaderRefresh(udpReaderRefresh, now)) refreshUdpProcessIDs(now);
}

std::vector<ProcessEntry> copyTcpProcessIDs() { return copyTable(tcpProcessIDs); }
std::vector<ProcessEntry> copyUdpProcessIDs() { return copyTable(udpProcessIDs); }

size_t tcpProcessCount() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  return tcpProcessIDs.size();
}

size_t udpProcessCount() {
  std::lock_guard<std::mutex> lock(processTableMutex);
  return udpProcessIDs.size();
}
