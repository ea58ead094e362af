// One IPv6 packet (the input, its version made 6) through the IPv6 reader
// and packet decoding. Checks: the reader's fields keep their ranges and
// never count more than came; decoding makes at most one IPv6 flow, which the
// same packet again counts into, with fields as read.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "capture/decode.h"
#include "capture/decode6.h"
#include "flow/flow_table.h"

namespace {

void fakeOwner6(uint64_t, const OwnerQuery6& query, OwnerRef& owner) {
  static const OwnerRef known = makeOwner("/usr/bin/client6", "alice", "host1");
  if (query.ends.localPort % 2 == 0) owner = known;
}

void check(const Ipv6Fields& f, Ipv6Read read, size_t size, size_t wire) {
  if (read == Ipv6Read::kMalformed) return;
  if (f.dscp > 63 || f.flowLabel >= (1u << 20)) __builtin_trap();
  if (wire != SIZE_MAX && f.length > wire) __builtin_trap();
  if (read != Ipv6Read::kRecord) return;
  if (f.noPorts && (f.srcport != 0 || f.dstport != 0 || f.tcpFlags != 0)) __builtin_trap();
  if (!f.noPorts && f.proto != 6 && f.proto != 17 && f.proto != 58) __builtin_trap();
  if (size < 40) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  tcpOwnerLookup6 = fakeOwner6;
  udpOwnerLookup6 = fakeOwner6;
  std::vector<uint8_t> packet(data, data + size);
  if (!packet.empty()) packet[0] = static_cast<uint8_t>(0x60 | (packet[0] & 0x0f));
  for (size_t wire : {size, size_t{SIZE_MAX}, size + 100}) {
    Ipv6Fields f;
    check(f, readIpv6(packet.data(), packet.size(), wire, f), packet.size(), wire);
  }

  resetFlowTables();
  const uint64_t now = 1'700'000'000'000ull;
  decodePacket(packet.data(), packet.size(), 0x0a000001, now);
  decodePacket(packet.data(), packet.size(), 0x0a000001, now + 5);
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (!flowCache.empty() || flowCache6.size() > 1) __builtin_trap();
  for (const FlowEntry& e : flowCache6) {
    if (!e.ipv6() || e.srcip != 0 || e.dstip != 0 || e.inif + e.outif != 1) __builtin_trap();
    if (e.pkts != 2 || e.lastseen < e.firstseen) __builtin_trap();
    if (e.proto != 6 && e.proto != 17 && e.proto != 58 && (e.srcport != 0 || e.dstport != 0)) __builtin_trap();
    if (flowCache6.find(keyOf6(e)) == flowCache6.end()) __builtin_trap();
    if (e.proto != 6 && e.flags != 0) __builtin_trap();
  }
  return 0;
}
