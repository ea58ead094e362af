// Where the collector keeps the flows it receives, and the questions the
// query command asks of them. A store is a small table of operations over
// one engine's connection (openFlowStore picks the engine from the
// location); one thread uses a store at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flow/flow_record.h"
#include "runtime/history_usage.h"

// An address as the store keeps it: 4 bytes for IPv4, 16 for IPv6, network
// order; size 0 for none. An IPv4-mapped IPv6 address is kept as IPv4.
struct StoreAddress {
  uint8_t size = 0;
  uint8_t bytes[16] = {};

  static StoreAddress ipv4(uint32_t hostOrder);
  static StoreAddress ipv6(const Ip6Address& address);
  // Dotted IPv4 or RFC 5952 IPv6; "" for none.
  std::string text() const;
  bool operator==(const StoreAddress& other) const;
};

// Dotted IPv4 or IPv6 text to an address; false for anything else.
bool parseStoreAddress(const std::string& text, StoreAddress& address);

// One flow record as stored: the record, who reported it (the exporter's
// address and, for IPFIX, its observation domain) and its two ends.
struct StoredFlow {
  StoreAddress exporter;
  uint32_t obsdomain = 0;  // IPFIX observation domain; 0 for native datagrams
  uint64_t firstseen = 0;  // ms since 1970
  uint64_t lastseen = 0;   // ms since 1970
  StoreAddress srcip;
  StoreAddress dstip;
  uint16_t srcport = 0;     // ICMP type for ICMP
  uint16_t dstport = 0;     // ICMP code for ICMP
  uint8_t proto = 0;
  uint8_t tos = 0;          // DSCP
  uint8_t flags = 0;        // OR of TCP flags
  uint8_t inif = 0;         // 1 when inbound
  uint8_t outif = 0;        // 1 when outbound
  uint16_t replydelay = 0;  // ms
  uint64_t pkts = 0;
  uint64_t bytes = 0;
  OwnerRef owner;  // null: no owner known
  PeerName peerName;  // the far end's name and its source; none when unnamed

  // The far end: the source of an inbound record, else the destination.
  const StoreAddress& peer() const { return inif == 1 ? srcip : dstip; }
};

// A received record of either family from `exporter` (observation domain
// `obsdomain`, 0 for native datagrams).
StoredFlow storedFlowOf(const FlowEntry& flow, const StoreAddress& exporter, uint32_t obsdomain);

// The largest time or count a store keeps: both engines hold larger ones
// at this value, so that they answer alike.
inline constexpr uint64_t kStoreMaxValue = INT64_MAX;
inline uint64_t storeValue(uint64_t value) { return value < kStoreMaxValue ? value : kStoreMaxValue; }

enum class TopKind { none, hosts, processes, peers, ports, services, names };

// What the query command asks. Every filter left at its default matches
// every flow.
struct FlowQuery {
  uint64_t since = 0;           // flows last seen at or after (ms)
  uint64_t until = UINT64_MAX;  // flows first seen at or before (ms)
  StoreAddress host;            // the exporter; size 0: any
  std::string process;          // the whole name or its last path part; "": any
  std::string user;             // "": any
  std::string service;          // "": any
  std::string container;        // "": any
  StoreAddress peerLow;         // the far end within [peerLow, peerHigh]; size 0: any
  StoreAddress peerHigh;
  std::string peerName;         // the far end's name is this or a name under it; "": any
  int port = -1;                // a TCP or UDP flow with this port at either end; -1: any
  TopKind top = TopKind::none;  // none: the flows themselves, newest first
  size_t limit = 0;             // at most this many answers; 0: all
};

// One line of a top-talkers answer. For ports `key` is empty and `port`,
// `proto` say which (the lower of the flow's two ports, usually the
// service's).
struct TopRow {
  std::string key;  // host or peer address text, process, service or peer name
  uint16_t port = 0;
  uint8_t proto = 0;
  uint64_t bytes = 0;
  uint64_t pkts = 0;
  uint64_t flows = 0;
};

// One exporter the store has heard from.
struct StoreHost {
  StoreAddress exporter;
  uint64_t records = 0;
  uint64_t lastSeen = 0;  // ms since 1970: the latest last-seen time of its records
};

// The parts of a usage question a store's answer is made of (a flow counts
// when its last-seen time is in [since, until)): each group of records with their key's parts (two, as `by` needs: a process, user or
// service name and ""; a peer's name and its address; a protocol and a
// port) and the step their last-seen time falls in.
struct UsageGroup {
  std::string name;
  StoreAddress address;
  uint8_t proto = 0;
  uint16_t port = 0;
  size_t step = 0;
  uint64_t bytes = 0, pkts = 0, flows = 0;
};

// The key a group is shown under: the peer's name where it has one, else its
// address; a port as "443/tcp"; other protocols by their name.
std::string usageKeyOf(UsageBy by, const UsageGroup& group);

// Ranks the groups of a usage question into its answer.
UsageAnswer usageAnswerOf(const UsageQuery& query, const std::vector<UsageGroup>& groups);

// Why a store could not be opened, for the exit status and the message.
enum class StoreOpenFailure { none, unavailable, cannotOpen, notAStore, newerSchema };

// The operations of one open store. Each returns false with the reason in
// `error` when the engine fails; the store stays usable.
struct FlowStore {
  std::string description;  // "SQLite file flows.sqlite", for the console
  // Adds the records in one transaction.
  std::function<bool(const std::vector<StoredFlow>& batch, std::string& error)> write;
  std::function<bool(uint64_t& records, std::string& error)> count;
  // Deletes at most `most` records last seen before `before` (ms); says
  // how many it deleted.
  std::function<bool(uint64_t before, size_t most, size_t& removed, std::string& error)> prune;
  std::function<bool(const FlowQuery& query, const std::function<void(const StoredFlow&)>& onFlow,
                     std::string& error)>
      queryFlows;
  std::function<bool(const FlowQuery& query, std::vector<TopRow>& rows, std::string& error)> queryTop;
  // Bytes per step by process, peer, service, port or user, each flow in
  // the step of its last-seen time; `query.host` (an exporter's address,
  // "" for all) narrows it to one exporter.
  std::function<bool(const UsageQuery& query, UsageAnswer& answer, std::string& error)> queryUsage;
  // Every exporter with its record count, most recently heard first.
  std::function<bool(std::vector<StoreHost>& hosts, std::string& error)> listHosts;
};

// The store version this program writes and reads; a file of a newer one
// is refused. Version 1 had no service and container: opened for writing,
// such a store gets them (empty for the flows it holds); opened for
// reading, its flows answer as if they had them empty. Version 2 had no
// half-hour usage totals: opened for writing, a store of version 1 or 2
// gets them, summed from its flows.
inline constexpr int kStoreSchemaVersion = 3;

// Opens the store at `location` (a file path: SQLite), creating it when
// `forWriting` and it does not exist yet. Null on failure, with `failure`
// and a one-line `error` saying what is wrong.
std::unique_ptr<FlowStore> openFlowStore(const std::string& location, bool forWriting, StoreOpenFailure& failure,
                                         std::string& error);
