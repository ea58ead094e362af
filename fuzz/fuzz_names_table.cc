// Packets through the DNS name table: each input is a series of DNS packets
// (a flag byte, a 2-byte length, the payload) sent and received over UDP and
// TCP in both families, a sent one also fed back as the answer to itself with
// its response bit set when the flags say so. The table stays within its bounds and every name
// it gives is a C string.
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/names/name_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nameTableClear();
  const uint8_t host[16] = {10, 0, 0, 1}, server[16] = {10, 0, 0, 53};
  uint64_t now = 1'700'000'000'000ull;
  size_t pos = 0;
  std::vector<uint8_t> reply;
  while (pos + 3 <= size) {
    const uint8_t flags = data[pos];
    size_t length = static_cast<size_t>(data[pos + 1] << 8 | data[pos + 2]);
    pos += 3;
    if (length > size - pos) length = size - pos;
    const uint8_t* payload = data + pos;
    pos += length;
    const uint8_t family = flags & 1 ? 6 : 4;
    const uint8_t proto = flags & 2 ? 6 : 17;
    const bool outbound = flags & 4;
    const bool echoed = flags & 8;
    const uint16_t hostPort = static_cast<uint16_t>(40000 + (flags >> 6));
    now += (flags >> 4 & 3) * 120'000ull;
    if (outbound) {
      nameTableDnsPacket(true, family, host, server, hostPort, 53, proto, payload, length, now);
    }
    if (outbound && echoed) {
      // The same message as its own answer: a query and an answer that match.
      reply.assign(payload, payload + length);
      const size_t flagsAt = proto == 6 ? 4 : 2;
      if (reply.size() > flagsAt) reply[flagsAt] |= 0x80;
      nameTableDnsPacket(false, family, server, host, 53, hostPort, proto, reply.data(), reply.size(), now);
    } else if (!outbound) {
      nameTableDnsPacket(false, family, server, host, 53, hostPort, proto, payload, length, now);
    }
    for (size_t i = 0; i + 4 <= length; i += 4) {
      uint8_t address[16] = {};
      std::memcpy(address, payload + i, 4);
      const char* name = nameTableLookup(family, address, now);
      if (name && std::strlen(name) > 255) __builtin_trap();
    }
  }
  const NameTableCounts counts = nameTableCounts();
  if (counts.names > kNameTableMaxNames) __builtin_trap();
  return 0;
}
