// IPv6 socket owners from the system's IPv6 socket tables, keyed by each
// socket's full ends: the fallback for IPv6 flows that the owner events do
// not name. Refreshed from the system on a look-up miss; any thread may look
// up, one thread at a time refreshes.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/endpoints.h"
#include "process/owner_table.h"
#include "process/process_table.h"
#include "runtime/flow_owner.h"

struct Socket6Entry {
  uint32_t pid = 0;
  OwnerRef owner;         // never null in a table
  uint64_t lastseen = 0;  // time of the latest refresh that listed the ends
};

// Keyed as the owner events key IPv6 sockets (the protocol is the table's).
using Socket6Table = std::unordered_map<OwnerKey6, Socket6Entry, OwnerKey6Hash>;

// Guards both tables. Never held while the system's tables or a process's
// identity are read.
extern std::mutex socket6TableMutex;
extern Socket6Table tcp6Sockets;  // guarded by socket6TableMutex
extern Socket6Table udp6Sockets;  // guarded by socket6TableMutex

// Sets `owner` to the owner of the socket that takes an IPv6 packet between
// `ends` (as the local socket sees them), refreshing the table once on a
// miss unless a probe says no socket would take it; leaves it unchanged when
// none is found.
void lookupTcp6Socket(uint64_t now, const SocketEnds6& ends, OwnerRef& owner);
void lookupUdp6Socket(uint64_t now, const SocketEnds6& ends, OwnerRef& owner);

// Any thread: the owner from the table as last refreshed; false on a miss.
// Never asks the system.
bool findTcp6Socket(const SocketEnds6& ends, OwnerRef& owner);
bool findUdp6Socket(const SocketEnds6& ends, OwnerRef& owner);

// Number of entries (takes the lock).
size_t tcp6SocketCount();
size_t udp6SocketCount();

// The pieces, over any table.

// The owner of a packet between `ends` from `table`: the first of
// ownerKeysOf's keys it holds. False on a miss. The caller holds the lock.
bool findSocket6Owner(const Socket6Table& table, uint8_t proto, const SocketEnds6& ends, OwnerRef& owner);

// Applies the rows of one successful read at `now`: ends listed again with
// the same pid keep their owner, others get one from `ownerOf` (rows of pid
// 0, whose holder is unknown, are skipped; the first row of equal ends
// decides); then every entry not listed is dropped. Pure; the caller holds
// the lock.
using Row6Owner = std::function<OwnerRef(const EndpointRow6&)>;
void applyEndpointRows6(Socket6Table& table, uint8_t proto, const std::vector<EndpointRow6>& rows, uint64_t now,
                        const Row6Owner& ownerOf);

// Reads one of the system's IPv6 tables (readTcp6Endpoints' contract).
using Endpoint6Reader = std::function<EndpointTable6(const OwnerFilter& ownerWanted)>;

// Refreshes `table` (guarded by socket6TableMutex) from `read`. Owners are
// asked for on the local ports the table does not hold and on `wantedPort`
// (the port of the miss); identities are read without the lock. A failed
// read is printed and leaves the table as it was.
void refreshSocket6Table(Socket6Table& table, uint8_t proto, uint64_t now, uint16_t wantedPort,
                         const Endpoint6Reader& read, const IdentityReader& identity);
