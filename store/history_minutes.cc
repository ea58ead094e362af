#include "store/history_minutes.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>

#include "flow/ip_text.h"

namespace {

constexpr uint64_t kForgetAfterMillis = 3 * 60000;

void mix(size_t& seed, size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

FlowIdentity identityOf(const FlowEntry& f) {
  FlowIdentity id;
  if (f.ipv6()) {
    id.key = keyOf6(f);
  } else {
    id.key.srcport = f.srcport;
    id.key.dstport = f.dstport;
    id.key.tos = f.tos;
    id.key.proto = f.proto;
    for (int i = 0; i < 4; ++i) {
      id.key.srcip.bytes[12 + i] = static_cast<uint8_t>(f.srcip >> (24 - 8 * i));
      id.key.dstip.bytes[12 + i] = static_cast<uint8_t>(f.dstip >> (24 - 8 * i));
    }
  }
  id.firstseen = f.firstseen;
  return id;
}

void add(HistoryMinutes& into, const FlowEntry& f, uint32_t pkts, uint32_t bytes, bool isNew) {
  if (pkts == 0 && bytes == 0 && !isNew) return;
  HistoryTotals& t = into[HistoryMinuteKey{f.lastseen / 60000, historyKeyOf(f)}];
  t.bytes += bytes;
  t.pkts += pkts;
  t.flows += isNew ? 1 : 0;
}

}  // namespace

size_t HistoryMinuteKeyHash::operator()(const HistoryMinuteKey& k) const noexcept {
  std::hash<std::string> text;
  size_t seed = std::hash<uint64_t>()(k.minute);
  mix(seed, text(k.key.process));
  mix(seed, text(k.key.user));
  mix(seed, text(k.key.peer));
  mix(seed, text(k.key.peername));
  mix(seed, text(k.key.service));
  mix(seed, (size_t{k.key.direction} << 40) | (size_t{k.key.proto} << 32) | (size_t{k.key.remoteport} << 16) |
                k.key.localport);
  return seed;
}

size_t FlowIdentityHash::operator()(const FlowIdentity& id) const noexcept {
  size_t seed = std::hash<uint64_t>()(id.firstseen);
  uint64_t half[4];
  std::memcpy(half, id.key.srcip.bytes, 16);
  std::memcpy(half + 2, id.key.dstip.bytes, 16);
  for (uint64_t h : half) mix(seed, std::hash<uint64_t>()(h));
  mix(seed, (size_t{id.key.srcport} << 24) | (size_t{id.key.dstport} << 8) | id.key.proto);
  mix(seed, id.key.tos);
  return seed;
}

HistoryKey historyKeyOf(const FlowEntry& f) {
  HistoryKey k;
  k.process = f.processname();
  k.user = f.user();
  k.domain = f.domain();
  k.direction = f.inif == 1 ? 1 : 0;
  k.proto = f.proto;
  const bool inbound = k.direction == 1;
  if (f.ipv6()) k.peer = ip6Text(inbound ? f.srcip6 : f.dstip6);
  else k.peer = ipToDotted(inbound ? f.srcip : f.dstip);
  const uint16_t local = inbound ? f.dstport : f.srcport;
  const uint16_t remote = inbound ? f.srcport : f.dstport;
  if (f.proto == 6 || f.proto == 17) {
    // The service side: the lower port; a client's port is forgotten.
    if (local < remote) k.localport = local;
    else k.remoteport = remote;
  }
  k.peername = f.peername();
  k.service = f.service();
  return k;
}

void countOpenFlows(FlowTracker& tracker, const std::vector<FlowEntry>& open, uint64_t now, HistoryMinutes& into) {
  for (const FlowEntry& f : open) {
    auto [it, isNew] = tracker.counted.try_emplace(identityOf(f));
    TrackedFlow& t = it->second;
    const uint32_t pkts = static_cast<uint32_t>(f.pkts);
    const uint32_t bytes = static_cast<uint32_t>(f.bytes);
    add(into, f, pkts - t.pkts, bytes - t.bytes, isNew);
    t.pkts = pkts;
    t.bytes = bytes;
    t.seenAt = now;
  }
  std::erase_if(tracker.counted, [now](const auto& entry) { return now - entry.second.seenAt > kForgetAfterMillis; });
}

void countFinishedFlows(FlowTracker& tracker, const std::vector<FlowEntry>& finished, HistoryMinutes& into) {
  for (const FlowEntry& f : finished) {
    const uint32_t pkts = static_cast<uint32_t>(f.pkts);
    const uint32_t bytes = static_cast<uint32_t>(f.bytes);
    auto it = tracker.counted.find(identityOf(f));
    if (it == tracker.counted.end()) {
      add(into, f, pkts, bytes, true);
    } else {
      add(into, f, pkts - it->second.pkts, bytes - it->second.bytes, false);
      tracker.counted.erase(it);
    }
  }
}

void foldRarePeers(HistoryMinutes& minutes, size_t keep) {
  using Owner = std::tuple<uint64_t, std::string, std::string, std::string>;
  // Bytes per peer, per minute and owner.
  std::map<Owner, std::unordered_map<std::string, uint64_t>> peers;
  for (const auto& [mk, t] : minutes) {
    peers[Owner{mk.minute, mk.key.process, mk.key.user, mk.key.domain}][mk.key.peer] += t.bytes;
  }
  std::map<Owner, std::vector<std::string>> kept;
  for (auto& [owner, bytes] : peers) {
    if (bytes.size() <= keep) continue;
    std::vector<std::pair<uint64_t, std::string>> ranked;
    for (auto& [peer, b] : bytes) ranked.emplace_back(b, peer);
    // Most bytes first; among equals, in address order, so the choice is stable.
    std::sort(ranked.begin(), ranked.end(),
              [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    std::vector<std::string>& list = kept[owner];
    for (size_t i = 0; i < keep; ++i) list.push_back(ranked[i].second);
    std::sort(list.begin(), list.end());
  }
  if (kept.empty()) return;
  HistoryMinutes folded;
  folded.reserve(minutes.size());
  for (auto& [mk, t] : minutes) {
    HistoryMinuteKey key = mk;
    auto it = kept.find(Owner{mk.minute, mk.key.process, mk.key.user, mk.key.domain});
    if (it != kept.end() && !std::binary_search(it->second.begin(), it->second.end(), mk.key.peer)) {
      key.key.peer.clear();
      key.key.peername.clear();
    }
    HistoryTotals& sum = folded[key];
    sum.bytes += t.bytes;
    sum.pkts += t.pkts;
    sum.flows += t.flows;
  }
  minutes.swap(folded);
}
