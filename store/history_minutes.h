// The monitor's history in memory: per-minute totals of bytes, packets and
// flows by owner, direction, protocol, peer and service port, and the
// tracker that turns open flows (seen again and again) and finished flows
// into the part of each counted since it was last seen. One thread (the
// history writer) owns a tracker and its minutes.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "flow/flow_record.h"

// What one row of the history is about. Of the two ports only the service
// side is kept (the lower port, the other set to 0), so that the
// short-lived ports of clients do not make a row per flow.
struct HistoryKey {
  std::string process;
  std::string user;
  std::string domain;
  uint8_t direction = 0;  // 1 inbound, 0 outbound
  uint8_t proto = 0;
  std::string peer;       // the remote address as text
  uint16_t remoteport = 0;
  uint16_t localport = 0;
  std::string peername;   // the peer's name, when known
  std::string service;    // the local service, when known

  bool operator==(const HistoryKey& other) const = default;
};

struct HistoryTotals {
  uint64_t bytes = 0;
  uint64_t pkts = 0;
  uint64_t flows = 0;  // flows that began to count in this minute
};

struct HistoryMinuteKey {
  uint64_t minute = 0;  // ms since 1970 / 60000
  HistoryKey key;
  bool operator==(const HistoryMinuteKey& other) const = default;
};

struct HistoryMinuteKeyHash {
  size_t operator()(const HistoryMinuteKey& k) const noexcept;
};

using HistoryMinutes = std::unordered_map<HistoryMinuteKey, HistoryTotals, HistoryMinuteKeyHash>;

// The row a flow counts under.
HistoryKey historyKeyOf(const FlowEntry& flow);

// A flow's identity while it is open, and what of it has been counted.
struct TrackedFlow {
  uint32_t pkts = 0;
  uint32_t bytes = 0;
  uint64_t seenAt = 0;  // ms of the last walk that saw it open
};

struct FlowIdentity {
  FlowKey6 key;  // IPv4 addresses in the last four bytes
  uint64_t firstseen = 0;
  bool operator==(const FlowIdentity& other) const = default;
};

struct FlowIdentityHash {
  size_t operator()(const FlowIdentity& id) const noexcept;
};

struct FlowTracker {
  std::unordered_map<FlowIdentity, TrackedFlow, FlowIdentityHash> counted;
};

// Counts what each open flow (copies taken at `now`) gained since it was
// last counted into the minute of its lastseen; a flow counted for the
// first time also counts as one flow there. Forgets flows that no walk has
// seen for three minutes and that never came back finished.
void countOpenFlows(FlowTracker& tracker, const std::vector<FlowEntry>& open, uint64_t now, HistoryMinutes& into);

// Per minute and owner, keeps the `keep` peers with most bytes apart and
// sums the rest under the peer "" (with no peer name): a busy program's
// minute then takes at most keep + 1 peers' rows, whatever the number of
// its peers. Totals per owner, port and service stay exact.
void foldRarePeers(HistoryMinutes& minutes, size_t keep);

// Counts the rest of each finished flow (what it gained since it was last
// seen open, or all of it) into the minute of its lastseen and forgets it.
void countFinishedFlows(FlowTracker& tracker, const std::vector<FlowEntry>& finished, HistoryMinutes& into);
