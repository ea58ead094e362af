// One received datagram into packet decoding, with made-up owners instead of
// the system's tables.
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "capture/decode.h"
#include "flow/flow_table.h"

namespace {

void fakeOwner(uint64_t, const OwnerQuery& query, OwnerRef& owner) {
  const int32_t port = query.ends.localPort;
  static const OwnerRef known = makeOwner("/usr/bin/client", "alice", "host1");
  if (port % 2 == 0) owner = known;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  tcpOwnerLookup = fakeOwner;
  udpOwnerLookup = fakeOwner;
  resetFlowTables();
  const uint64_t now = 1'700'000'000'000ull;
  decodePacket(data, size, 0x0a000001, now);
  // The same datagram again counts into the record it made, whatever its
  // protocol; only TCP, UDP and ICMP have ports.
  decodePacket(data, size, 0x0a000001, now + 5);
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (flowCache.size() + flowCache6.size() > 1) __builtin_trap();
  for (const FlowRecord& record : flowCache) {
    if (record.pkts != 2 || record.lastseen < record.firstseen) __builtin_trap();
    if (record.inif + record.outif != 1 || record.tos > 63 || record.family != 4) __builtin_trap();
    const bool ported = record.proto == 1 || record.proto == 6 || record.proto == 17;
    if (!ported && (record.srcport != 0 || record.dstport != 0)) __builtin_trap();
    if (flowCache.find(keyOf(record)) == flowCache.end()) __builtin_trap();
  }
  return 0;
}
