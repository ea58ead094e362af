#include "capture/names/name_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/names/dns_message.h"
#include "runtime/state.h"

namespace {

constexpr uint8_t kTcp = 6;
constexpr uint64_t kSweepEveryMs = 60'000;

// An address of either family: the family and 16 bytes, IPv4 in the first 4.
struct AddressKey {
  uint8_t family = 0;
  uint8_t bytes[16] = {};
  bool operator==(const AddressKey& o) const { return family == o.family && std::memcmp(bytes, o.bytes, 16) == 0; }
};

AddressKey addressKey(uint8_t family, const uint8_t* address) {
  AddressKey key;
  key.family = family;
  std::memcpy(key.bytes, address, family == 4 ? 4 : 16);
  return key;
}

// Every new flow this host begins asks for its address's name, so the hash
// takes the address in two words rather than byte by byte.
struct AddressHash {
  size_t operator()(const AddressKey& k) const {
    uint64_t low = 0, high = 0;
    std::memcpy(&low, k.bytes, 8);
    std::memcpy(&high, k.bytes + 8, 8);
    uint64_t h = (low ^ k.family) * 0x9e3779b97f4a7c15ull ^ high;
    h *= 0xff51afd7ed558ccdull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

// One conversation with a DNS server: this host's address and port, the server's, the protocol.
struct Conversation {
  AddressKey host, server;
  uint16_t hostPort = 0, serverPort = 0;
  uint8_t proto = 0;
  bool operator==(const Conversation& o) const {
    return host == o.host && server == o.server && hostPort == o.hostPort && serverPort == o.serverPort &&
           proto == o.proto;
  }
};

struct PendingQuery {
  Conversation conversation;
  uint16_t qtype = 0, qclass = 0;
  uint8_t question[kDnsMaxWireName];
  size_t questionLength = 0;
  uint64_t expiresMs = 0;
  uint64_t serial = 0;  // tells this query from others of the same id
};

// Where a waiting query stands in the order queries were sent, which is
// the order they expire in.
struct PendingRef {
  uint16_t id = 0;
  uint64_t serial = 0;
  uint64_t expiresMs = 0;
};

struct NameEntry {
  AddressKey address;
  std::string name;
  uint64_t expiresMs = 0;
};

// One direction of a DNS-over-TCP connection: bytes not yet framed into a message.
struct TcpStream {
  Conversation conversation;
  bool outbound = false;
  std::vector<uint8_t> bytes;
  uint64_t lastMs = 0;
};

// Queries waiting for their answer, by transaction id.
std::unordered_multimap<uint16_t, PendingQuery> pending;
// Every waiting query in the order it was sent; an answered one's place stays
// until it reaches the front. At most kPendingOrderLimit places.
std::deque<PendingRef> pendingOrder;
constexpr size_t kPendingOrderLimit = 2 * kMaxPendingQueries;
uint64_t nextPendingSerial = 0;
// The names, most recently used first, and where each address's entry stands.
std::list<NameEntry> names;
std::unordered_map<AddressKey, std::list<NameEntry>::iterator, AddressHash> byAddress;
std::vector<TcpStream> tcpStreams;
size_t waitingStreams = 0;  // tcpStreams holding bytes of a message begun
uint64_t lastSweepMs = 0;
size_t textBytes = 0;  // heap held by the names' text, as textCost counts it

// The counters are the shared run state's (runtime/state.h), so the status document reads them.
std::atomic<uint64_t>& nameCount = nameTableNames;
std::atomic<uint64_t>& malformedCount = nameTableMalformed;
std::atomic<uint64_t>& unsolicitedCount = nameTableUnsolicited;

// Heap a name's text takes beyond its entry: none while it fits in the string itself, else the
// allocation with the allocator's own overhead.
size_t textCost(const std::string& text) {
  constexpr size_t kInline = 15, kAllocatorOverhead = 16;
  return text.capacity() > kInline ? text.capacity() + 1 + kAllocatorOverhead : 0;
}

void forget(std::list<NameEntry>::iterator entry) {
  textBytes -= textCost(entry->name);
  byAddress.erase(entry->address);
  names.erase(entry);
  nameCount.store(names.size(), std::memory_order_relaxed);
}

// Drops expired names and queries, at most once a minute (expired names are also dropped when met).
void sweep(uint64_t nowMs) {
  if (nowMs - lastSweepMs < kSweepEveryMs && nowMs >= lastSweepMs) return;
  lastSweepMs = nowMs;
  for (auto it = names.begin(); it != names.end();) {
    auto next = std::next(it);
    if (it->expiresMs <= nowMs) forget(it);
    it = next;
  }
  for (auto it = pending.begin(); it != pending.end();) {
    it = it->second.expiresMs <= nowMs ? pending.erase(it) : std::next(it);
  }
}

// Forgets the query that has waited longest, if it still waits.
void dropOldestQuery() {
  const PendingRef ref = pendingOrder.front();
  pendingOrder.pop_front();
  auto [first, last] = pending.equal_range(ref.id);
  for (auto it = first; it != last; ++it) {
    if (it->second.serial == ref.serial) {
      pending.erase(it);
      return;
    }
  }
}

// Remembers an outbound query. When the table is full the oldest waiting
// query makes room, so a flood of queries costs each one the same little.
void remember(const Conversation& conversation, const DnsMessageView& query, uint64_t nowMs) {
  while (!pendingOrder.empty() && (pendingOrder.front().expiresMs <= nowMs || pending.size() >= kMaxPendingQueries ||
                                   pendingOrder.size() >= kPendingOrderLimit)) {
    dropOldestQuery();
  }
  PendingQuery q;
  q.conversation = conversation;
  q.qtype = query.qtype;
  q.qclass = query.qclass;
  std::memcpy(q.question, query.questionWire, query.questionWireLength);
  q.questionLength = query.questionWireLength;
  q.expiresMs = nowMs + kPendingQueryMs;
  q.serial = nextPendingSerial++;
  pending.emplace(query.id, q);
  pendingOrder.push_back(PendingRef{query.id, q.serial, q.expiresMs});
}

void name(const DnsAddress& address, const char* text, size_t textLength, uint64_t nowMs) {
  const AddressKey key = addressKey(address.family, address.address);
  const uint64_t ttlMs = std::clamp<uint64_t>(static_cast<uint64_t>(address.ttl) * 1000, kNameMinTtlMs, kNameMaxTtlMs);
  auto found = byAddress.find(key);
  if (found != byAddress.end()) {
    NameEntry& entry = *found->second;
    textBytes -= textCost(entry.name);
    entry.name.assign(text, textLength);
    textBytes += textCost(entry.name);
    entry.expiresMs = nowMs + ttlMs;
    names.splice(names.begin(), names, found->second);
  } else {
    names.push_front(NameEntry{key, std::string(text, textLength), nowMs + ttlMs});
    byAddress.emplace(key, names.begin());
    textBytes += textCost(names.front().name);
  }
  while (names.size() > kNameTableMaxNames || (textBytes > kNameTableMaxTextBytes && names.size() > 1)) {
    forget(std::prev(names.end()));
    nameTableEvicted.fetch_add(1, std::memory_order_relaxed);
  }
  nameCount.store(names.size(), std::memory_order_relaxed);
}

void answer(const Conversation& conversation, const DnsMessageView& reply, uint64_t nowMs) {
  auto [first, last] = pending.equal_range(reply.id);
  for (auto it = first; it != last; ++it) {
    const PendingQuery& q = it->second;
    if (q.expiresMs <= nowMs || !(q.conversation == conversation) || q.qtype != reply.qtype ||
        q.qclass != reply.qclass || q.questionLength != reply.questionWireLength ||
        std::memcmp(q.question, reply.questionWire, q.questionLength) != 0) {
      continue;
    }
    pending.erase(it);
    nameTableAnswers.fetch_add(1, std::memory_order_relaxed);
    if (reply.questionLength == 0) return;
    for (size_t i = 0; i < reply.addressCount; ++i) {
      name(reply.addresses[i], reply.question, reply.questionLength, nowMs);
    }
    return;
  }
  unsolicitedCount.fetch_add(1, std::memory_order_relaxed);
}

void message(bool outbound, const Conversation& conversation, const uint8_t* data, size_t length, uint64_t nowMs) {
  DnsMessageView view;
  if (!parseDnsMessage(data, length, &view)) {
    malformedCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!view.hasQuestion) return;
  if (outbound && !view.response) remember(conversation, view, nowMs);
  if (!outbound && view.response) answer(conversation, view, nowMs);
}

TcpStream* tcpStream(bool outbound, const Conversation& conversation, uint64_t nowMs) {
  TcpStream* oldest = nullptr;
  for (TcpStream& s : tcpStreams) {
    if (s.outbound == outbound && s.conversation == conversation) return &s;
    if (!oldest || s.lastMs < oldest->lastMs) oldest = &s;
  }
  // A new connection: a free slot, else the one fed least recently gives way.
  if (tcpStreams.size() < kMaxDnsTcpStreams) {
    tcpStreams.emplace_back();
    oldest = &tcpStreams.back();
  }
  oldest->conversation = conversation;
  oldest->outbound = outbound;
  if (!oldest->bytes.empty()) --waitingStreams;
  oldest->bytes.clear();
  oldest->lastMs = nowMs;
  return oldest;
}

// Appends a segment to its connection's bytes and reads every whole message out of them.
void readTcpSegment(TcpStream* s, bool outbound, const Conversation& conversation, const uint8_t* data,
                    size_t length, uint64_t nowMs) {
  if (nowMs - s->lastMs > kDnsTcpIdleMs) s->bytes.clear();
  s->lastMs = nowMs;
  if (s->bytes.size() + length > kMaxDnsTcpBuffer) {
    // More than a message's worth held: the framing is lost; start again from this segment.
    s->bytes.clear();
    malformedCount.fetch_add(1, std::memory_order_relaxed);
    if (length > kMaxDnsTcpBuffer) return;
  }
  s->bytes.insert(s->bytes.end(), data, data + length);
  size_t used = 0;
  while (s->bytes.size() - used >= 2) {
    const size_t messageLength = static_cast<size_t>(s->bytes[used] << 8 | s->bytes[used + 1]);
    if (messageLength < kDnsHeaderLength) {
      // No message is this short: what the connection carries is not framed DNS (or the framing
      // is lost). Counted once; the connection's bytes are dropped rather than read as a run of
      // empty messages.
      malformedCount.fetch_add(1, std::memory_order_relaxed);
      s->bytes.clear();
      return;
    }
    if (s->bytes.size() - used - 2 < messageLength) break;
    message(outbound, conversation, s->bytes.data() + used + 2, messageLength, nowMs);
    used += 2 + messageLength;
  }
  s->bytes.erase(s->bytes.begin(), s->bytes.begin() + static_cast<std::ptrdiff_t>(used));
}

void tcpSegment(bool outbound, const Conversation& conversation, const uint8_t* data, size_t length, uint64_t nowMs) {
  // While no connection waits for the rest of a message, a segment that
  // cannot begin one is not DNS: no connection's place is looked for.
  if (waitingStreams == 0 && length >= 2 && static_cast<size_t>(data[0] << 8 | data[1]) < kDnsHeaderLength) {
    malformedCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  TcpStream* s = tcpStream(outbound, conversation, nowMs);
  const bool wasWaiting = !s->bytes.empty();
  readTcpSegment(s, outbound, conversation, data, length, nowMs);
  if (wasWaiting != !s->bytes.empty()) {
    if (wasWaiting) {
      --waitingStreams;
    } else {
      ++waitingStreams;
    }
  }
}

}  // namespace

void nameTableDnsPacket(bool outbound, uint8_t family, const uint8_t* srcAddress, const uint8_t* dstAddress,
                        uint16_t srcPort, uint16_t dstPort, uint8_t proto, const uint8_t* payload,
                        size_t length, uint64_t nowMs) {
  if (family != 4 && family != 6) return;
  sweep(nowMs);
  Conversation c;
  c.host = addressKey(family, outbound ? srcAddress : dstAddress);
  c.server = addressKey(family, outbound ? dstAddress : srcAddress);
  c.hostPort = outbound ? srcPort : dstPort;
  c.serverPort = outbound ? dstPort : srcPort;
  c.proto = proto;
  if (proto == kTcp) {
    if (length > 0) tcpSegment(outbound, c, payload, length, nowMs);
  } else {
    message(outbound, c, payload, length, nowMs);
  }
}

const char* nameTableLookup(uint8_t family, const uint8_t* address, uint64_t nowMs) {
  if ((family != 4 && family != 6) || byAddress.empty()) return nullptr;
  auto found = byAddress.find(addressKey(family, address));
  if (found == byAddress.end()) return nullptr;
  NameEntry& entry = *found->second;
  if (entry.expiresMs <= nowMs) {
    forget(found->second);
    return nullptr;
  }
  entry.expiresMs = std::max(entry.expiresMs, nowMs + kNameLookupKeepMs);
  names.splice(names.begin(), names, found->second);
  return entry.name.c_str();
}

void nameTableClear() {
  pending.clear();
  pendingOrder.clear();
  names.clear();
  byAddress.clear();
  tcpStreams.clear();
  waitingStreams = 0;
  lastSweepMs = 0;
  textBytes = 0;
  nameCount.store(0);
  malformedCount.store(0);
  unsolicitedCount.store(0);
  nameTableAnswers.store(0);
  nameTableEvicted.store(0);
}

NameTableCounts nameTableCounts() {
  return NameTableCounts{nameCount.load(std::memory_order_relaxed),
                         nameTableAnswers.load(std::memory_order_relaxed),
                         unsolicitedCount.load(std::memory_order_relaxed),
                         malformedCount.load(std::memory_order_relaxed),
                         nameTableEvicted.load(std::memory_order_relaxed)};
}
