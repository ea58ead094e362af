#include "web/flow_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <tuple>

#include "flow/ip_text.h"
#include "web/data_document.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint64_t kNow = 1700000100000;
const char* const kColumns[] = {"age",   "bytes",      "container", "domain",   "dstip",       "dstport",
                                "family", "firstseen", "flags",     "inif",     "lastseen",    "namesource",
                                "outif",  "peername",  "pkts",      "processname", "proto",    "service",
                                "srcip",  "srcport",   "tos",       "user"};

Ip6Address ip6(const char* text) {
  Ip6Address a;
  EXPECT_TRUE(parseIp6(text, a)) << text;
  return a;
}

// An IPv6 flow with the record's fields.
FlowEntry asIPv6(FlowEntry r, const char* src, const char* dst) {
  r.family = 6;
  r.srcip = r.dstip = 0;
  r.srcip6 = ip6(src);
  r.dstip6 = ip6(dst);
  return r;
}

// Few distinct values, so every column has ties.
std::vector<FlowEntry> flowsWithTies(size_t count, bool withIPv6) {
  std::mt19937 random(3);
  const OwnerRef owners[] = {makeOwner("/usr/bin/Zed", "bob", "HOST", "b.service", "4f1c0a9e2b7d"),
                             makeOwner("/opt/alpha", "Alice", "host", "A.scope"),
                             makeOwner("beta", "alice", "Host", "a.service", "0123456789ab"),
                             makeOwner("/usr/bin/Zed", "bob", "HOST", "b.service", "4f1c0a9e2b7d"), nullptr};
  std::vector<FlowEntry> flows;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t protos[] = {1, 6, 17};
    FlowEntry r = makeFlowRecord(i % 2, 1 - i % 2, protos[random() % 3], 0x0a000001u + random() % 3,
                                  0xc0a80001u + random() % 3, static_cast<uint16_t>(random() % 3 * 1000),
                                  static_cast<uint16_t>(65535 - random() % 3), 60, static_cast<uint8_t>(random() % 3),
                                  static_cast<uint8_t>(random() % 2 * 46), kNow - 90000 + random() % 3 * 1000,
                                  owners[random() % 5]);
    r.lastseen = r.firstseen + random() % 3 * 500;
    const char* const names[] = {"", "b.example", "A.example", "a.example"};
    r.peer = PeerName::make(names[random() % 4], random() % 2 ? NameSource::kDns : NameSource::kTls);
    r.pkts = static_cast<int32_t>(random() % 3) - 1;
    r.bytes = r.pkts * 700;
    // A quarter IPv6, with addresses that order differently as text and as
    // numbers, and one that holds an IPv4 address's bytes.
    const char* const v6[] = {"::a00:1", "2001:db8::9", "2001:db8::10", "fe80::1"};
    if (withIPv6 && random() % 4 == 0) r = asIPv6(r, v6[random() % 4], v6[random() % 4]);
    flows.push_back(std::move(r));
  }
  return flows;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// An address text as (family, bytes): IPv4 before IPv6, each by value.
std::pair<int, std::string> addressOrder(const std::string& text) {
  uint32_t v4 = 0;
  if (parseDotted(text, v4)) return {4, std::string{char(v4 >> 24), char(v4 >> 16), char(v4 >> 8), char(v4)}};
  const Ip6Address a = ip6(text.c_str());
  return {6, std::string(reinterpret_cast<const char*>(a.bytes), 16)};
}

std::string describe(const FlowEntry& r) {
  const Json::Value f = flowToJson(r, kNow);
  return f["srcip"].asString() + "." + std::to_string(r.srcport) + ">" + f["dstip"].asString() + "." +
         std::to_string(r.dstport) + " p" + std::to_string(r.proto) + " t" + std::to_string(r.tos);
}

// The plain order, written from the document's flow object.
bool plainLess(const FlowEntry& a, const FlowEntry& b, const std::string& column) {
  const Json::Value x = flowToJson(a, kNow), y = flowToJson(b, kNow);
  const auto tie = [](const Json::Value& f) {
    return std::make_tuple(addressOrder(f["srcip"].asString()), f["srcport"].asInt(), f["proto"].asInt(),
                           f["tos"].asInt(), addressOrder(f["dstip"].asString()), f["dstport"].asInt());
  };
  if (x[column].isString()) {
    const auto key = [&](const Json::Value& v) {
      std::string text = v[column].asString();
      if (column == "srcip" || column == "dstip") {
        return std::make_tuple(std::string(), std::string(), addressOrder(text),
                               v[column == "srcip" ? "srcport" : "dstport"].asInt());
      }
      const std::string base = column == "processname" ? text.substr(text.rfind('/') + 1) : text;
      return std::make_tuple(lower(base), lower(text), std::make_pair(0, text), 0);
    };
    const auto kx = key(x), ky = key(y);
    return kx != ky ? kx < ky : tie(x) < tie(y);
  }
  const uint64_t vx = x[column].isInt() ? uint32_t(x[column].asInt()) : x[column].asUInt64();
  const uint64_t vy = y[column].isInt() ? uint32_t(y[column].asInt()) : y[column].asUInt64();
  return vx != vy ? vx < vy : tie(x) < tie(y);
}

std::vector<std::string> keys(const std::vector<FlowEntry>& flows) {
  std::vector<std::string> out;
  for (const FlowEntry& r : flows) out.push_back(describe(r));
  return out;
}

TEST(SelectFlows, EveryColumnAndOrderAgainstAPlainSort) {
  for (bool withIPv6 : {false, true}) {
    std::vector<FlowEntry> flows = flowsWithTies(200, withIPv6);
    std::sort(flows.begin(), flows.end(), [](const FlowEntry& a, const FlowEntry& b) { return plainLess(a, b, "srcip"); });
    flows.erase(std::unique(flows.begin(), flows.end(), [](auto& a, auto& b) { return describe(a) == describe(b); }),
                flows.end());
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
                                                << " page " << p.page << (withIPv6 ? " with IPv6" : " IPv4 only");
        }
      }
    }
  }
}

TEST(SelectFlows, FilterWordsMustAllMatch) {
  FlowEntry flows[] = {
      makeFlowRecord(0, 1, 6, 0x0a000001u, 0xc0a80102u, 51000, 443, 60, 0, 0, kNow, makeOwner("/usr/bin/curl", "alice", "HOST")),
      makeFlowRecord(1, 0, 17, 0xc0a80102u, 0x0a000001u, 53, 40000, 60, 0, 0, kNow, makeOwner("named", "bind", "host", "named.service")),
      makeFlowRecord(1, 0, 1, 0xc0a80102u, 0x0a000001u, 8, 0, 60, 0, 0, kNow, nullptr),
      asIPv6(makeFlowRecord(0, 1, 6, 0, 0, 51001, 443, 60, 0, 0, kNow, makeOwner("/usr/bin/curl", "alice", "HOST")),
             "2001:db8::5", "2001:db8:ff::1"),
      asIPv6(makeFlowRecord(1, 0, 58, 0, 0, 128, 0, 60, 0, 0, kNow, makeOwner("2001:db8::5-agent", "", "", "", "4f1c0a9e2b7d")), "fe80::1",
             "fe80::2"),
  };
  flows[0].peer = PeerName::make("www.example.com", NameSource::kTls);
  flows[1].peer = PeerName::make("notexample.com", NameSource::kDns);
  flows[3].peer = PeerName::make("example.com", NameSource::kDns);
  struct Row {
    const char* filter;
    const char* flows;  // the letters of the flows that match, in table order
  };
  const Row rows[] = {
      {"", "abcde"},           {"tcp", "ad"},                  {"ICMP", "ce"},
      {"icmpv6", "e"},         {"10.0.0.1:51000", "a"},        {"192.168.1.2:53", "b"},
      {"192.168.1.2:8", ""},   {"curl ALICE", "ad"},           {"host", "abd"},
      {"  bind\tudp ", "b"},   {"inif=1", "bce"},              {"proto=1", "c"},
      {"srcip=192.168.1.2", "bc"}, {"dstport=443", "ad"},      {"processname=/USR/BIN/CURL", "ad"},
      {"user=", "ce"},         {"nothing-like-it", ""},        {"tcp udp", ""},
      {"srcport=x", ""},       {"family=6", "de"},             {"family=4 tcp", "a"},
      // Addresses and prefixes of either family, against either end.
      {"2001:DB8::5", "d"},    {"2001:db8::/32", "d"},         {"2001:db8:ff::/48", "d"},
      {"2001:db8:1::/48", ""}, {"fe80::1", "e"},               {"fe80::/10", "e"},
      {"fe80::1/128", "e"},    {"::/0", "de"},                 {"0.0.0.0/0", "abc"},
      {"10.0.0.0/8", "abc"},   {"192.168.1.0/25", "abc"},      {"192.168.1.128/25", ""},
      {"10.0.0.1/33", ""},     {"fe80::/129", ""},             {"srcip=2001:db8::5", "d"},
      {"dstip=2001:db8::5", ""}, {"srcip=fe80::/16", "e"},     {"dstip=192.168.0.0/16", "a"},
      {"[2001:db8::5]:51001", "d"}, {"2001:db8:", "de"},  // also the name of e's owner
      {"fe80::2 icmpv6", "e"},
      // Service and container, exactly or as plain words.
      {"service=named.service", "b"}, {"named.SERVICE", "b"},    {"service=named", ""},
      {"container=4F1C0A9E2B7D", "e"}, {"4f1c0a", "e"},          {"service=", "acde"},
      // Peer names: a part of one, or a name and every name under it.
      {"peername=example.com", "ad"}, {"EXAMPLE", "abd"},     {"peername=www.example.com", "a"},
      {"peername=", "ce"},     {"peername=com", "abd"},         {"namesource=tls", "a"},
      {"namesource=dns tcp", "d"},
  };
  for (const Row& row : rows) {
    const ArgumentLookup lookup = [&](const char* name) { return std::string(name) == "filter" ? row.filter : nullptr; };
    const SelectedFlows got = selectFlows({std::begin(flows), std::end(flows)}, readFlowSelection(lookup), kNow);
    std::string letters;
    for (const FlowEntry& r : got.page) {
      for (size_t i = 0; i < std::size(flows); ++i) {
        if (describe(r) == describe(flows[i])) letters += static_cast<char>('a' + i);
      }
    }
    EXPECT_EQ(letters, row.flows) << "filter \"" << row.filter << "\"";
    EXPECT_EQ(got.matched, strlen(row.flows)) << row.filter;
  }
}

TEST(ReadFlowSelection, UnusableArgumentsAreIgnoredWithOneLine) {
  struct Row {
    std::map<std::string, const char*> args;
    const char* console;
    const char* selection;  // active, column number, order, page size, page
  };
  const Row rows[] = {
      {{}, "", "0 22 asc 18446744073709551615 1"},
      {{{"sortBy", "bytes"}, {"sortOrder", "desc"}, {"pageSize", "500"}, {"page", "2"}}, "", "1 1 desc 500 2"},
      {{{"sortBy", "Bytes"}}, "sortBy Bytes is not a member of a flow; ignored\n", "1 22 asc 18446744073709551615 1"},
      {{{"sortBy", "replydelay"}}, "sortBy replydelay is not a member of a flow; ignored\n", "1 22 asc 18446744073709551615 1"},
      {{{"sortOrder", "DESC"}}, "sortOrder DESC is neither asc nor desc; ignored\n", "1 22 asc 18446744073709551615 1"},
      {{{"pageSize", "abc"}, {"page", "-1"}},
       "pageSize abc is not a whole number from 1; ignored\npage -1 is not a whole number from 1; ignored\n",
       "1 22 asc 18446744073709551615 1"},
      {{{"pageSize", "0"}, {"page", "99999999999"}},
       "pageSize 0 is not a whole number from 1; ignored\npage 99999999999 is not a whole number from 1; ignored\n",
       "1 22 asc 18446744073709551615 1"},
      {{{"filter", ""}}, "", "1 22 asc 18446744073709551615 1"},
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
