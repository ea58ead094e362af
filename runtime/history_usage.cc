#include "runtime/history_usage.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

struct ByName {
  UsageBy by;
  const char* name;
};
constexpr ByName kByNames[] = {{UsageBy::process, "process"}, {UsageBy::peer, "peer"},
                               {UsageBy::service, "service"}, {UsageBy::port, "port"},
                               {UsageBy::user, "user"}};

std::mutex usageSourceMutex;  // guards usageSource
UsageSource usageSource;

}  // namespace

bool usageByFromName(const std::string& name, UsageBy& by) {
  for (const ByName& b : kByNames) {
    if (name == b.name) {
      by = b.by;
      return true;
    }
  }
  return false;
}

const char* usageByName(UsageBy by) {
  for (const ByName& b : kByNames) {
    if (b.by == by) return b.name;
  }
  return "process";
}

int usageByCode(UsageBy by) {
  switch (by) {
    case UsageBy::process: return 0;
    case UsageBy::peer: return 1;
    case UsageBy::service: return 2;
    case UsageBy::port: return 3;
    case UsageBy::user: return 4;
  }
  return 0;
}

std::string usagePortKey(int proto, int port) {
  switch (proto) {
    case 6: return std::to_string(port) + "/tcp";
    case 17: return std::to_string(port) + "/udp";
    case 1: return "icmp";
    case 58: return "icmpv6";
  }
  return "proto " + std::to_string(proto);
}

uint64_t usageStep(uint64_t since, uint64_t until) {
  constexpr uint64_t kMinute = 60000;
  constexpr uint64_t kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440};
  const uint64_t range = until > since ? until - since : 0;
  for (uint64_t minutes : kSteps) {
    if (range <= 400 * minutes * kMinute) return minutes * kMinute;
  }
  const uint64_t days = (range + 400 * 1440 * kMinute - 1) / (400 * 1440 * kMinute);
  return days * 1440 * kMinute;
}

void setUsageSource(UsageSource source) {
  std::lock_guard<std::mutex> lock(usageSourceMutex);
  usageSource = std::move(source);
}

bool askUsage(const UsageQuery& query, UsageAnswer& answer, std::string& error) {
  UsageSource source;
  {
    std::lock_guard<std::mutex> lock(usageSourceMutex);
    source = usageSource;
  }
  if (!source) {
    error = "history is off";
    return false;
  }
  return source(query, answer, error);
}

UsageAnswer rankUsage(const std::vector<UsageCell>& cells, size_t points, size_t limit) {
  std::map<std::string, UsageTotal> totals;
  for (const UsageCell& c : cells) {
    UsageTotal& t = totals[c.key];
    t.key = c.key;
    t.bytes += c.bytes;
    t.pkts += c.pkts;
    t.flows += c.flows;
  }
  std::vector<UsageTotal> ranked;
  ranked.reserve(totals.size());
  for (auto& entry : totals) ranked.push_back(std::move(entry.second));
  // The map gave key order; a stable sort keeps it among equal byte counts.
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const UsageTotal& a, const UsageTotal& b) { return a.bytes > b.bytes; });

  UsageAnswer answer;
  std::unordered_map<std::string, size_t> slot;
  const size_t kept = std::min(limit, ranked.size());
  for (size_t i = 0; i < kept; ++i) {
    slot[ranked[i].key] = i;
    answer.top.push_back(ranked[i]);
  }
  if (ranked.size() > kept) {
    UsageTotal other;
    other.key = kUsageOther;
    for (size_t i = kept; i < ranked.size(); ++i) {
      other.bytes += ranked[i].bytes;
      other.pkts += ranked[i].pkts;
      other.flows += ranked[i].flows;
    }
    answer.top.push_back(other);
  }
  for (const UsageTotal& t : answer.top) answer.series.push_back(UsageSeries{t.key, std::vector<uint64_t>(points, 0)});
  for (const UsageCell& c : cells) {
    if (c.step >= points) continue;
    auto it = slot.find(c.key);
    const size_t index = it != slot.end() ? it->second : kept;
    answer.series[index].bytes[c.step] += c.bytes;
  }
  return answer;
}
