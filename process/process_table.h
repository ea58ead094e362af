// Port-to-process tables: local TCP and UDP ports to the process that owns
// them, rebuilt from the system's endpoint tables on a lookup miss. The
// owner look-up worker looks up and refreshes, the capture thread only
// looks up (findTcpProcess); web threads read copies (and, while
// owner events run, refresh before they read).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/endpoints.h"
#include "runtime/flow_owner.h"

struct ProcessEntry {
  int32_t pid = 0;
  int32_t port = 0;         // local port, host order; equal to the map key
  OwnerRef owner;           // name, user and domain; never null in a table
  uint64_t lastseen = 0;    // time of the latest refresh that held the port
  uint64_t firstseen = 0;   // time of the refresh that made the entry

  const std::string& name() const { return owner->processname; }
  const std::string& user() const { return owner->user; }
  const std::string& domain() const { return owner->domain; }
  const std::string& service() const { return owner->service; }
  const std::string& container() const { return owner->container; }
};

using ProcessTable = std::unordered_map<int32_t, ProcessEntry>;

// Guards both tables. Never held while the system tables or a process's
// identity are read.
extern std::mutex processTableMutex;
extern ProcessTable tcpProcessIDs;  // guarded by processTableMutex
extern ProcessTable udpProcessIDs;  // guarded by processTableMutex

// Owner look-up worker. Sets `owner` to the owner of local `port`, refreshing the
// table once on a miss; leaves it unchanged when the port is still unknown.
void lookupTcpProcess(uint64_t now, int32_t port, OwnerRef& owner);
void lookupUdpProcess(uint64_t now, int32_t port, OwnerRef& owner);

// Any thread. Sets `owner` from the table as last refreshed; false when the
// port has no entry. Never asks the system.
bool findTcpProcess(int32_t port, OwnerRef& owner);
bool findUdpProcess(int32_t port, OwnerRef& owner);

// The same for a packet between `ends` (local port ends.localPort). On a
// miss the system is first asked whether any socket would take the packet;
// when none would, the refresh is skipped, since it could not find the port.
void lookupTcpProcess(uint64_t now, const SocketEnds& ends, OwnerRef& owner);
void lookupUdpProcess(uint64_t now, const SocketEnds& ends, OwnerRef& owner);

// Owner look-up worker. Rebuilds one table from the system's endpoint table at
// time `now`; a failed read is printed and leaves the table as it was.
void refreshTcpProcessIDs(uint64_t now);
void refreshUdpProcessIDs(uint64_t now);

// Removes every entry whose lastseen is before `now`. The caller holds
// processTableMutex when `table` is one of the shared tables.
void pruneProcessIDs(ProcessTable& table, uint64_t now);

// Any thread, before reading a table for the port-owner lists. While owner
// events name new flows, lookups seldom miss and the look-up worker seldom
// refreshes the tables, so a reader refreshes the table it is about to read,
// at most once a second per table. Without owner events it does nothing: the
// worker's refreshes keep the tables as they always were.
void refreshTcpProcessIDsForReaders(uint64_t now);
void refreshUdpProcessIDsForReaders(uint64_t now);

// Any thread: copies of the entries, in the table's iteration order, and the
// table sizes.
std::vector<ProcessEntry> copyTcpProcessIDs();
std::vector<ProcessEntry> copyUdpProcessIDs();
size_t tcpProcessCount();
size_t udpProcessCount();

// The pieces the functions above are made of, over any table.

// Gives the owner for a row whose port has no entry yet.
using RowOwner = std::function<OwnerRef(const EndpointRow&)>;
// Reads a process's owner: name, user and domain (getProcessIdentity's
// contract), service and container.
using IdentityReader = std::function<OwnerRef(uint32_t pid)>;

// getProcessIdentity for one refresh, reading each process once however
// many new sockets it holds.
IdentityReader identityForOneRefresh();

// Applies the rows of one successful read, in order: a known port gets
// lastseen = now, an unknown one a new entry from the first row that names
// it; then prunes. Pure; the caller holds the table's lock.
void applyEndpointRows(ProcessTable& table, const std::vector<EndpointRow>& rows, uint64_t now,
                       const RowOwner& ownerOf);

// The rows `applyEndpointRows` would make new entries from: the first row of
// each port that `table` does not hold. The caller holds the table's lock.
std::vector<EndpointRow> rowsForNewPorts(const ProcessTable& table, const std::vector<EndpointRow>& rows);

// The console line for a failed read ("" for a successful one).
std::string endpointFailureText(const EndpointRead& read);

// Reads one of the system's endpoint tables (readTcpEndpoints' contract).
using EndpointReader = std::function<EndpointTable(const OwnerFilter& ownerWanted)>;

// Refreshes `table` (guarded by processTableMutex) from `read`, asking it
// for the owners of ports the table does not hold; identities of new ports
// are read without the lock, then the rows are applied under it.
void refreshProcessTable(ProcessTable& table, uint64_t now, const EndpointReader& read,
                         const IdentityReader& identity);

// A refresh costs milliseconds (the system walks its whole socket table), and
// traffic to ports that no local socket holds (scans, floods, replies to
// closed ports) would otherwise pay one per new flow on the look-up worker
// while its queue fills. Where the system answers probes, a miss whose probe
// finds no socket skips the refresh. Where it cannot say, after a refresh
// that did not find the port it was made for, further misses of that
// protocol refresh again only once kFruitlessRefreshPauseMillis of packet
// time has passed; meanwhile they leave the owner unknown. A refresh that
// finds its port ends the pause.
inline constexpr uint64_t kFruitlessRefreshPauseMillis = 100;
struct MissPause {
  bool active = false;
  uint64_t since = 0;  // packet time of the fruitless refresh
};

// The lookup over `table` (guarded by processTableMutex). On a miss it calls
// `probe`; unless that says kAbsent, it calls `refresh` once, unless `pause`
// holds it back.
using SocketProbe = std::function<SocketPresence()>;
void lookupProcess(ProcessTable& table, uint64_t now, int32_t port, OwnerRef& owner, const SocketProbe& probe,
                   const std::function<void()>& refresh, MissPause& pause);
