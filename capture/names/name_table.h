// The names this host's own DNS traffic gives to addresses: queries it sent,
// the answers that match them, and the address->name map they fill. Capture
// thread only (no lock); the counters are atomic for readers on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Bounds and times of the table.
inline constexpr size_t kNameTableMaxNames = 65536;
// Heap the names' own text may take (allocator overhead counted): at 65,536 names of typical
// length this never binds; names of 200 bytes and more each keep the table under 16 MiB.
inline constexpr size_t kNameTableMaxTextBytes = 4u << 20;
inline constexpr uint64_t kNameMinTtlMs = 300'000;        // an answer's TTL at least 5 min
inline constexpr uint64_t kNameMaxTtlMs = 86'400'000;     // and at most 24 h
inline constexpr uint64_t kNameLookupKeepMs = 75'000;     // a look-up keeps the name this long at least
inline constexpr uint64_t kPendingQueryMs = 10'000;       // a query waits this long for its answer
inline constexpr size_t kMaxPendingQueries = 4096;
inline constexpr size_t kMaxDnsTcpStreams = 16;           // TCP connections being reassembled
inline constexpr size_t kMaxDnsTcpBuffer = 65537;         // one whole message and its length
inline constexpr uint64_t kDnsTcpIdleMs = 30'000;

// Feeds one DNS packet seen on the watched interface (UDP, or a TCP segment's payload, with port 53
// on one side). `outbound`: sent by this host. Addresses in network order (4 or 16 bytes by family).
// Outbound queries are remembered (id, ports, addresses, question); an inbound answer counts only
// when it matches one; its addresses then map to the question's name (TTL, at least 5 min, at most
// 24 h; at most 65,536 names, least recently used out; both families). TCP: messages framed by their
// 2-byte length, held per connection up to a bound.
void nameTableDnsPacket(bool outbound, uint8_t family, const uint8_t* srcAddress, const uint8_t* dstAddress,
                        uint16_t srcPort, uint16_t dstPort, uint8_t proto, const uint8_t* payload,
                        size_t length, uint64_t nowMs);

// The name this host's DNS last gave for `address`, or nullptr. A look-up keeps the entry for at
// least 75 s more (so an address stays named while flows to it keep beginning records). The
// pointer stays valid until the next nameTable* call.
const char* nameTableLookup(uint8_t family, const uint8_t* address, uint64_t nowMs);

// Empties the table (capture start with peerNames false, tests).
void nameTableClear();

// The table's counters (also in runtime/state.h, where the status document reads them): names held,
// answers that matched a query, answers without one, malformed DNS messages skipped, names pushed out.
struct NameTableCounts { uint64_t names, answers, unsolicited, malformed, evicted; };
NameTableCounts nameTableCounts();
