// A sequence of datagrams (IPv4 or IPv6) through decoding, the flow tables,
// the sweep and the export format. Input: records of [time step: 2 bytes]
// [length: 1 byte][datagram bytes], decoded one at a time when the input's
// length is even, else handed over in blocks of up to 64 as the capture
// ring does. Checks: every record keeps pkts >= 1 and
// lastseen >= firstseen, an IPv6 one has no IPv4 addresses, a named one has
// its name's source, and datagrams
// filled with the finished IPv4 records decode back to as many records as
// were written.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/decode.h"
#include "export/datagram.h"
#include "export/serialize.h"
#include "flow/flow_table.h"

namespace {

void fakeOwner(uint64_t, const OwnerQuery& query, OwnerRef& owner) {
  const int32_t port = query.ends.localPort;
  static const OwnerRef known = makeOwner("/opt/some/long/path/to/a/daemon", std::string(255, 'u'), "HOST");
  if (port % 3 == 0) owner = known;
}

void fakeOwner6(uint64_t, const OwnerQuery6& query, OwnerRef& owner) {
  static const OwnerRef known = makeOwner("/usr/sbin/daemon6", "root", "HOST");
  if (query.ends.localPort % 3 == 0) owner = known;
}

void checkRecord(const FlowEntry& r) {
  if (r.pkts < 1 || r.lastseen < r.firstseen) __builtin_trap();
  if (r.ipv6() && (r.srcip != 0 || r.dstip != 0)) __builtin_trap();
  // A peer name always has its source, and is never longer than a record string.
  if (static_cast<bool>(r.peer) != (r.namesource()[0] != '\0') || r.peername().size() > kMaxPeerNameBytes) {
    __builtin_trap();
  }
}

// Writes `records` into datagrams as the export loop fills them and checks
// that each decodes to the records written.
void exportAll(const std::vector<FlowEntry>& records) {
  uint8_t buffer[kMaxDatagramBytes];
  size_t fill = 4, count = 0;
  auto flush = [&] {
    if (count == 0) return;
    putU16(buffer, kExportVersion);
    putU16(buffer + 2, static_cast<uint16_t>(count));
    std::vector<FlowRecord> decoded;
    std::string error;
    if (!decodeDatagram(buffer, fill, decoded, error) || decoded.size() != count) __builtin_trap();
    fill = 4;
    count = 0;
  };
  for (const FlowEntry& r : records) {
    if (r.ipv6()) continue;  // the native format carries IPv4 flows only
    if (fill + recordLength(r) > kMaxDatagramBytes) flush();
    const uint16_t written = serializeRecord(r, static_cast<int16_t>(fill), buffer);
    if (written != recordLength(r)) __builtin_trap();
    fill += written;
    ++count;
  }
  flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  tcpOwnerLookup = fakeOwner;
  udpOwnerLookup = fakeOwner;
  tcpOwnerLookup6 = fakeOwner6;
  udpOwnerLookup6 = fakeOwner6;
  resetFlowTables();
  uint64_t now = 1'700'000'000'000ull;
  size_t at = 0;
  const bool blocks = size % 2 == 1;
  constexpr size_t kBlock = 64;
  CapturedPacket block[kBlock];
  uint32_t counted[kBlock];
  size_t inBlock = 0;
  while (at + 3 <= size) {
    now += static_cast<uint64_t>((data[at] << 8) | data[at + 1]) * 10;
    const size_t length = std::min<size_t>(data[at + 2], size - at - 3);
    if (blocks) {
      block[inBlock++] = CapturedPacket{data + at + 3, length, 0, now};
      if (inBlock == kBlock) decodePackets(block, std::exchange(inBlock, 0), 0x0a000001, counted);
    } else {
      decodePacket(data + at + 3, length, 0x0a000001, now);
    }
    at += 3 + length;
  }
  if (inBlock != 0) decodePackets(block, inBlock, 0x0a000001, counted);
  sweepFlows(now + 61'000);
  std::lock_guard<std::mutex> lock(flowTableMutex);
  if (!flowCache.empty() || !flowCache6.empty()) __builtin_trap();  // everything is older than 60 s now
  std::vector<FlowEntry> finished(toExport.begin(), toExport.end());
  for (const FlowEntry& r : finished) checkRecord(r);
  exportAll(finished);
  return 0;
}
