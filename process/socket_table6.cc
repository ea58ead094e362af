#include "process/socket_table6.h"

#include <bitset>
#include <unordered_set>

#include "runtime/console.h"

std::mutex socket6TableMutex;
Socket6Table tcp6Sockets;
Socket6Table udp6Sockets;

bool findSocket6Owner(const Socket6Table& table, uint8_t proto, const SocketEnds6& ends, OwnerRef& owner) {
  if (table.empty()) return false;
  for (const OwnerKey6& key : ownerKeysOf(proto, ends)) {
    auto it = table.find(key);
    if (it != table.end()) {
      owner = it->second.owner;
      return true;
    }
  }
  return false;
}

void applyEndpointRows6(Socket6Table& table, uint8_t proto, const std::vector<EndpointRow6>& rows, uint64_t now,
                        const Row6Owner& ownerOf) {
  std::unordered_set<OwnerKey6, OwnerKey6Hash> decided;
  for (const EndpointRow6& row : rows) {
    if (row.pid == 0) continue;
    const OwnerKey6 key{row.localAddr, row.remoteAddr, row.localPort, row.remotePort, proto};
    if (!decided.insert(key).second) continue;
    auto it = table.find(key);
    if (it != table.end() && it->second.pid == row.pid) {
      it->second.lastseen = now;
      continue;
    }
    OwnerRef owner = ownerOf(row);
    if (!owner) owner = makeOwner("Pid:" + std::to_string(row.pid), "", "");
    table[key] = Socket6Entry{row.pid, std::move(owner), now};
  }
  std::erase_if(table, [now](const auto& e) { return e.second.lastseen < now; });
}

void refreshSocket6Table(Socket6Table& table, uint8_t proto, uint64_t now, uint16_t wantedPort,
                         const Endpoint6Reader& read, const IdentityReader& identity) {
  std::bitset<65536> known;
  {
    std::lock_guard<std::mutex> lock(socket6TableMutex);
    for (const auto& e : table) known.set(e.first.localPort);
  }
  known.reset(wantedPort);
  const EndpointTable6 rows = read([&known](uint16_t port) { return !known.test(port); });
  if (rows.status != EndpointStatus::kOk) {
    consoleWrite(endpointFailureText(rows));
    return;
  }
  // Ends whose owner is new: not in the table, or held by another pid now;
  // the first row of equal ends decides.
  std::vector<const EndpointRow6*> fresh;
  {
    std::unordered_set<OwnerKey6, OwnerKey6Hash> seen;
    std::lock_guard<std::mutex> lock(socket6TableMutex);
    for (const EndpointRow6& row : rows.rows) {
      if (row.pid == 0) continue;
      const OwnerKey6 key{row.localAddr, row.remoteAddr, row.localPort, row.remotePort, proto};
      if (!seen.insert(key).second) continue;
      auto it = table.find(key);
      if (it == table.end() || it->second.pid != row.pid) fresh.push_back(&row);
    }
  }
  std::unordered_map<const EndpointRow6*, OwnerRef> owners;
  owners.reserve(fresh.size());
  for (const EndpointRow6* row : fresh) owners.emplace(row, identity(row->pid));
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  applyEndpointRows6(table, proto, rows.rows, now, [&owners](const EndpointRow6& row) -> OwnerRef {
    auto it = owners.find(&row);
    return it == owners.end() ? nullptr : it->second;
  });
}

namespace {

// Callers of the look-ups, one thread at a time, like the port tables'.
MissPause tcp6MissPause, udp6MissPause;

void lookupSocket6(Socket6Table& table, uint8_t proto, uint64_t now, const SocketEnds6& ends, OwnerRef& owner,
                   SocketPresence (*probe)(const SocketEnds6&), EndpointTable6 (*read)(const OwnerFilter&),
                   MissPause& pause) {
  {
    std::lock_guard<std::mutex> lock(socket6TableMutex);
    if (findSocket6Owner(table, proto, ends, owner)) return;
  }
  if (probe(ends) == SocketPresence::kAbsent) return;
  if (pause.active && now - pause.since < kFruitlessRefreshPauseMillis) return;
  refreshSocket6Table(table, proto, now, ends.localPort, read, identityForOneRefresh());
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  const bool found = findSocket6Owner(table, proto, ends, owner);
  pause.active = !found;
  if (!found) pause.since = now;
}

}  // namespace

void lookupTcp6Socket(uint64_t now, const SocketEnds6& ends, OwnerRef& owner) {
  lookupSocket6(tcp6Sockets, 6, now, ends, owner, probeTcp6Socket, readTcp6Endpoints, tcp6MissPause);
}

void lookupUdp6Socket(uint64_t now, const SocketEnds6& ends, OwnerRef& owner) {
  lookupSocket6(udp6Sockets, 17, now, ends, owner, probeUdp6Socket, readUdp6Endpoints, udp6MissPause);
}

bool findTcp6Socket(const SocketEnds6& ends, OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  return findSocket6Owner(tcp6Sockets, 6, ends, owner);
}

bool findUdp6Socket(const SocketEnds6& ends, OwnerRef& owner) {
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  return findSocket6Owner(udp6Sockets, 17, ends, owner);
}

size_t tcp6SocketCount() {
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  return tcp6Sockets.size();
}

size_t udp6SocketCount() {
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  return udp6Sockets.size();
}
