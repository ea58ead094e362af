#include "web/flow_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "flow/ip_text.h"
#include "web/data_document.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint64_t kNow = 1700000100000;
const char* const kColumns[] = {"age",   "bytes", "domain", "dstip", "dstport", "firstseen", "flags", "inif",  "lastseen",
                                "outif", "pkts",  "processname", "proto", "srcip", "srcport", "tos", "user"};

// Few distinct values, so every column has ties.
std::vector<FlowEntry> flowsWithTies(size_t count) {
  std::mt19937 random(3);
  const OwnerRef owners[] = {makeOwner("/usr/bin/Zed", "bob", "HOST"), makeOwner("/opt/alpha", "Alice", "host"),
                             makeOwner("beta", "alice", "Host"), makeOwner("/usr/bin/Zed", "bob", "HOST"), nullptr};
  std::vector<FlowEntry> flows;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t protos[] = {1, 6, 17};
    FlowEntry r = makeFlowRecord(i % 2, 1 - i % 2, protos[random() % 3], 0x0a000001u + random() % 3,
                                  0xc0a80001u + random() % 3, static_cast<uint16_t>(random() % 3 * 1000),
                                  static_cast<uint16_t>(65535 - random() % 3), 60, static_cast<uint8_t>(random() % 3),
                                  static_cast<uint8_t>(random() % 2 * 46), kNow - 90000 + random() % 3 * 1000,
                                  owners[random() % 5]);
    r.lastseen = r.firstseen + random() % 3 * 500;
    r.pkts = static_cast<int32_t>(random() % 3) - 1;
    r.bytes = r.pkts * 700;
    flows.push_back(std::move(r));
  }
  return flows;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The plain order, written from the document's flow object.
bool plainLess(const FlowEntry& a, const FlowEntry& b, const std::string& column) {
  const Json::Value x = flowToJson(a, kNow), y = flowToJson(b, kNow);
  const auto tie = [](const FlowEntry& r) { return std::make_tuple(r.srcip, r.srcport, r.proto, r.tos, r.dstip, r.dstport); };
  if (x[column].isString()) {
    const auto key = [&](const Json::Value& v, const FlowEntry& r) {
      std::string text = v[column].asString();
      if (column == "srcip" || column == "dstip") {
        uint32_t ip = 0;
        parseDotted(text, ip);
        return std::make_tuple(std::string(), std::string(), std::string(),
                               uint64_t(ip) << 16 | (column == "srcip" ? r.srcport : r.dstport));
      }
      const std::string base = column == "processname" ? text.substr(text.rfind('/') + 1) : text;
      return std::make_tuple(lower(base), lower(text), text, uint64_t(0));
    };
    const auto kx = key(x, a), ky = key(y, b);
    return kx != ky ? kx < ky : tie(a) < tie(b);
  }
  const uint64_t vx = x[column].isInt() ? uint32_t(x[column].asInt()) : x[column].asUInt64();
  const uint64_t vy = y[column].isInt() ? uint32_t(y[column].asInt()) : y[column].asUInt64();
  return vx != vy ? vx < vy : tie(a) < tie(b);
}

std::vector<FlowKey> keys(const std::vector<FlowEntry>& flows) {
  std::vector<FlowKey> out;
  for (const FlowEntry& r : flows) out.push_back(keyOf(r));
  return out;
}

TEST(SelectFlows, EveryColumnAndOrderAgainstAPlainSort) {
  std::vector<FlowEntry> flows = flowsWithTies(200);
  std::sort(flows.begin(), flows.end(), [](const FlowEntry& a, const FlowEntry& b) { return plainLess(a, b, "srcip"); });
  flows.erase(std::unique(flows.begin(), flows.end(), [](auto& a, auto& b) { return keyOf(a) == keyOf(b); }), flows.end());
  std::shuffle(flows.begin(), flows.end(), std::mt19937(1));
  const size_t n = flows.size();
  struct Page {
    size_t size, page;
  };
  const Page pages[] = {{SIZE_MAX, 1}, {7, 1}, {7, 3}, {7, (n + 6) / 7}, {7, (n + 6) / 7 + 1}, {n, 1}, {1, n}, {7, SIZE_MAX}};
  for (const char* column : kColumns) {
    std::vector<FlowEntry> want = flows;
    std::stable_sort(want.begin(), want.end(), [&](const FlowEntry& a, const FlowEntry& b) { return plainLess(a, b, column); });
    for (bool descending : {false, true}) {
      if (descending) std::reverse(want.begin(), want.end());
      for (const Page& p : pages) {
        FlowSelection s;
        s.active = true;
        s.sortBy = flowColumnByName(column);
        s.descending = descending;
        s.pageSize = p.size;
        s.page = p.page;
        const SelectedFlows got = selectFlows(flows, s, kNow);
        const size_t first = p.page - 1 > n / std::min(p.size, n) ? n : std::min(n, (p.page - 1) * p.size);
        const std::vector<FlowEntry> page(want.begin() + first, want.begin() + std::min(n, first + std::min(p.size, n)));
        EXPECT_EQ(got.matched, n);
        EXPECT_EQ(keys(got.page), keys(page)) << column << (descending ? " desc" : " asc") << " pageSize " << p.size
                                              << " page " << p.page;
      }
    }
  }
}

TEST(SelectFlows, FilterWordsMustAllMatch) {
  FlowEntry a = makeFlowRecord(0, 1, 6, 0x0a000001u, 0xc0a80102u, 51000, 443, 60, 0, 0, kNow, makeOwner("/usr/bin/curl", "alice", "HOST"));
  FlowEntry b = makeFlowRecord(1, 0, 17, 0xc0a80102u, 0x0a000001u, 53, 40000, 60, 0, 0, kNow, makeOwner("named", "bind", "host"));
  FlowEntry c = makeFlowRecord(1, 0, 1, 0xc0a80102u, 0x0a000001u, 8, 0, 60, 0, 0, kNow, nullptr);
  struct Row {
    const char* filter;
    std::vector<uint8_t> protos;  // of the flows that match, in table order
  };
  const Row rows[] = {
      {"", {6, 17, 1}},           {"tcp", {6}},                    {"ICMP", {1}},
      {"10.0.0.1:51000", {6}},    {"192.168.1.2:53", {17}},        {"192.168.1.2:8", {}},
      {"curl ALICE", {6}},        {"host", {6, 17}},               {"  bind\tudp ", {17}},
      {"inif=1", {17, 1}},        {"proto=1", {1}},                {"srcip=192.168.1.2", {17, 1}},
      {"dstport=443", {6}},       {"processname=/USR/BIN/CURL", {6}}, {"user=", {1}},
      {"nothing-like-it", {}},    {"tcp udp", {}},                 {"srcport=x", {}},
  };
  for (const Row& row : rows) {
    const ArgumentLookup lookup = [&](const char* name) { return std::string(name) == "filter" ? row.filter : nullptr; };
    const SelectedFlows got = selectFlows({a, b, c}, readFlowSelection(lookup), kNow);
    std::vector<uint8_t> protos;
    for (const FlowEntry& r : got.page) protos.push_back(r.proto);
    EXPECT_EQ(protos, row.protos) << "filter \"" << row.filter << "\"";
    EXPECT_EQ(got.matched, row.protos.size()) << row.filter;
  }
}

TEST(ReadFlowSelection, UnusableArgumentsAreIgnoredWithOneLine) {
  struct Row {
    std::map<std::string, const char*> args;
    const char* console;
    const char* selection;  // active, column number, order, page size, page
  };
  const Row rows[] = {
      {{}, "", "0 17 asc 18446744073709551615 1"},
      {{{"sortBy", "bytes"}, {"sortOrder", "desc"}, {"pageSize", "500"}, {"page", "2"}}, "", "1 1 desc 500 2"},
      {{{"sortBy", "Bytes"}}, "sortBy Bytes is not a member of a flow; ignored\n", "1 17 asc 18446744073709551615 1"},
      {{{"sortBy", "replydelay"}}, "sortBy replydelay is not a member of a flow; ignored\n", "1 17 asc 18446744073709551615 1"},
      {{{"sortOrder", "DESC"}}, "sortOrder DESC is neither asc nor desc; ignored\n", "1 17 asc 18446744073709551615 1"},
      {{{"pageSize", "abc"}, {"page", "-1"}},
       "pageSize abc is not a whole number from 1; ignored\npage -1 is not a whole number from 1; ignored\n",
       "1 17 asc 18446744073709551615 1"},
      {{{"pageSize", "0"}, {"page", "99999999999"}},
       "pageSize 0 is not a whole number from 1; ignored\npage 99999999999 is not a whole number from 1; ignored\n",
       "1 17 asc 18446744073709551615 1"},
      {{{"filter", ""}}, "", "1 17 asc 18446744073709551615 1"},
  };
  for (const Row& row : rows) {
    const ArgumentLookup lookup = [&](const char* name) {
      const auto it = row.args.find(name);
      return it == row.args.end() ? nullptr : it->second;
    };
    CaptureStdout();
    const FlowSelection s = readFlowSelection(lookup);
    EXPECT_EQ(GetCapturedStdout(), row.console) << row.console;
    EXPECT_EQ(std::to_string(s.active) + " " + std::to_string(int(s.sortBy)) + (s.descending ? " desc " : " asc ") +
                  std::to_string(s.pageSize) + " " + std::to_string(s.page),
              row.selection)
        << row.console;
  }
}

}  // namespace
