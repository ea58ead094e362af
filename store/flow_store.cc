#include "store/flow_store.h"

#include <cstring>

#include "flow/ip_text.h"

StoreAddress StoreAddress::ipv4(uint32_t hostOrder) {
  StoreAddress a;
  a.size = 4;
  for (int i = 0; i < 4; ++i) a.bytes[i] = static_cast<uint8_t>(hostOrder >> (24 - 8 * i));
  return a;
}

StoreAddress StoreAddress::ipv6(const Ip6Address& address) {
  if (address.v4Mapped()) {
    StoreAddress a;
    a.size = 4;
    std::memcpy(a.bytes, address.bytes + 12, 4);
    return a;
  }
  StoreAddress a;
  a.size = 16;
  std::memcpy(a.bytes, address.bytes, 16);
  return a;
}

std::string StoreAddress::text() const {
  if (size == 4) {
    return ipToDotted(uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3]);
  }
  if (size == 16) return ip6Text(Ip6Address::fromBytes(bytes));
  return "";
}

bool StoreAddress::operator==(const StoreAddress& other) const {
  return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
}

bool parseStoreAddress(const std::string& text, StoreAddress& address) {
  uint32_t v4 = 0;
  if (parseDotted(text, v4)) {
    address = StoreAddress::ipv4(v4);
    return true;
  }
  Ip6Address v6;
  if (!parseIp6(text, v6)) return false;
  address = StoreAddress::ipv6(v6);
  return true;
}

StoredFlow storedFlowOf(const FlowEntry& flow, const StoreAddress& exporter, uint32_t obsdomain) {
  StoredFlow s;
  s.exporter = exporter;
  s.obsdomain = obsdomain;
  s.firstseen = flow.firstseen;
  s.lastseen = flow.lastseen;
  s.srcip = flow.ipv6() ? StoreAddress::ipv6(flow.srcip6) : StoreAddress::ipv4(flow.srcip);
  s.dstip = flow.ipv6() ? StoreAddress::ipv6(flow.dstip6) : StoreAddress::ipv4(flow.dstip);
  s.srcport = flow.srcport;
  s.dstport = flow.dstport;
  s.proto = flow.proto;
  s.tos = flow.tos;
  s.flags = flow.flags;
  s.inif = flow.inif != 0 ? 1 : 0;
  s.outif = flow.outif != 0 ? 1 : 0;
  s.replydelay = flow.replydelay;
  s.pkts = static_cast<uint32_t>(flow.pkts);
  s.bytes = static_cast<uint32_t>(flow.bytes);
  s.owner = flow.owner;
  s.peerName = flow.peer;
  return s;
}

std::string usageKeyOf(UsageBy by, const UsageGroup& g) {
  if (by == UsageBy::peer) return g.name.empty() ? g.address.text() : g.name;
  if (by != UsageBy::port) return g.name;
  return usagePortKey(g.proto, g.port);
}

UsageAnswer usageAnswerOf(const UsageQuery& q, const std::vector<UsageGroup>& groups) {
  std::vector<UsageCell> cells;
  cells.reserve(groups.size());
  for (const UsageGroup& g : groups) cells.push_back(UsageCell{usageKeyOf(q.by, g), g.step, g.bytes, g.pkts, g.flows});
  const uint64_t step = q.step == 0 ? 60000 : q.step;
  const uint64_t points = q.until > q.since ? (q.until - q.since + step - 1) / step : 0;
  return rankUsage(cells, static_cast<size_t>(points), q.limit);
}
