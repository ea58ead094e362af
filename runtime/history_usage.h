// The question the status document asks of the monitor's history (what
// each program, peer, service, port or user sent and received over a time
// range) and the answer, with the hook through which the history answers
// it. The history sets the hook at start; web threads ask.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class UsageBy { process, peer, service, port, user };

// "process", "peer", ...; false for any other name.
bool usageByFromName(const std::string& name, UsageBy& by);
const char* usageByName(UsageBy by);

// The code of a grouping in stored half-hour totals: process 0, peer 1,
// service 2, port 3, user 4. Fixed: files and tables hold it.
int usageByCode(UsageBy by);

// The key of a port grouping: "443/tcp", "53/udp"; a protocol without ports
// by its name alone ("icmp", "icmpv6", "proto 47").
std::string usagePortKey(int proto, int port);

struct UsageQuery {
  uint64_t since = 0;  // ms since 1970, the first step's start (a multiple of step)
  uint64_t until = 0;  // ms since 1970, end of the range
  uint64_t step = 60000;  // ms per point
  UsageBy by = UsageBy::process;
  size_t limit = 10;  // top keys kept; the rest go to "(other)"
  // Filters; empty (port -1) matches everything.
  std::string process;  // the whole name or its last path part
  std::string peer;     // the remote address text or the peer's name
  std::string service;
  int port = -1;        // the service port at either end
  std::string host;     // the collector's stores: an exporter's address; "": all
};

// The key under which the keys beyond the top are summed.
inline constexpr const char* kUsageOther = "(other)";

struct UsageTotal {
  std::string key;
  uint64_t bytes = 0;
  uint64_t pkts = 0;
  uint64_t flows = 0;
};

struct UsageSeries {
  std::string key;
  std::vector<uint64_t> bytes;  // one number per step, zeros included
};

struct UsageAnswer {
  std::vector<UsageTotal> top;      // most bytes first, "(other)" last
  std::vector<UsageSeries> series;  // in the order of top
};

// The width of one point for a range: a minute at least, and the smallest
// of 1, 2, 5, 10, 15, 30 minutes, 1, 2, 3, 6, 12 hours and whole days that
// keeps the range within 400 points.
uint64_t usageStep(uint64_t since, uint64_t until);

// Answers a query; false with the reason in `error`.
using UsageSource = std::function<bool(const UsageQuery& query, UsageAnswer& answer, std::string& error)>;

// Installs (or, with an empty function, removes) the history's answer.
void setUsageSource(UsageSource source);

// Asks the installed source; false with "history is off" when none is.
bool askUsage(const UsageQuery& query, UsageAnswer& answer, std::string& error);

// Top keys and series from per-key, per-step byte sums: keeps the `limit`
// keys with most bytes (ties by key), sums the rest into "(other)".
struct UsageCell {
  std::string key;
  size_t step = 0;  // index of the point
  uint64_t bytes = 0;
  uint64_t pkts = 0;
  uint64_t flows = 0;
};
UsageAnswer rankUsage(const std::vector<UsageCell>& cells, size_t points, size_t limit);
