// The comparison's capture writer (bench/compare/make_capture.py): the file
// it writes must be a classic Ethernet pcap whose every packet a capture
// program would take as sound IPv4, with the mix and sizes it reports.
#include <json/json.h>

#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/system_test.h"

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(be16(p)) << 16 | be16(p + 2); }
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// One's-complement sum of `len` bytes, folded to 16 bits.
uint32_t onesSum(const uint8_t* p, size_t len, uint32_t acc = 0) {
  for (size_t i = 0; i + 1 < len; i += 2) acc += be16(p + i);
  if (len % 2) acc += static_cast<uint32_t>(p[len - 1]) << 8;
  while (acc >> 16) acc = (acc & 0xffff) + (acc >> 16);
  return acc;
}

struct Packet {
  std::vector<uint8_t> frame;
};

// Reads a classic little-endian microsecond pcap; fails the test on any
// structural fault.
std::vector<Packet> readPcap(const std::string& bytes) {
  std::vector<Packet> out;
  const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_GE(bytes.size(), 24u);
  if (bytes.size() < 24) return out;
  EXPECT_EQ(le32(d), 0xa1b2c3d4u) << "magic";
  EXPECT_EQ(le32(d + 20), 1u) << "link type Ethernet";
  size_t at = 24;
  while (at < bytes.size()) {
    EXPECT_LE(at + 16, bytes.size()) << "record header cut at " << at;
    if (at + 16 > bytes.size()) break;
    const uint32_t incl = le32(d + at + 8), orig = le32(d + at + 12);
    EXPECT_EQ(incl, orig) << "record at " << at;
    EXPECT_LE(at + 16 + incl, bytes.size()) << "record body cut at " << at;
    if (at + 16 + incl > bytes.size()) break;
    out.push_back(Packet{std::vector<uint8_t>(d + at + 16, d + at + 16 + incl)});
    at += 16 + incl;
  }
  return out;
}

struct Mix {
  size_t packets = 0;
  uint64_t bytes = 0;
  std::map<int, std::set<std::tuple<uint32_t, uint32_t, uint16_t, uint16_t>>> flows;  // proto -> keys
  int minSize = 100000, maxSize = 0;
};

// Checks one frame the way a careful receiver would, and adds it to `mix`.
// `servedLocal` (non-zero) requires every TCP and UDP packet to have that
// address at one end on a service port.
void checkFrame(const Packet& p, size_t index, uint32_t servedLocal, Mix& mix) {
  SCOPED_TRACE("packet " + std::to_string(index));
  const uint8_t* f = p.frame.data();
  ASSERT_GE(p.frame.size(), 14u + 20u);
  ASSERT_EQ(be16(f + 12), 0x0800) << "ethertype";
  const uint8_t* ip = f + 14;
  ASSERT_EQ(ip[0], 0x45) << "version 4, no options";
  const uint16_t total = be16(ip + 2);
  ASSERT_EQ(total + 14u, p.frame.size()) << "total length matches the frame";
  EXPECT_GE(total, 64);
  EXPECT_LE(total, 1500);
  EXPECT_EQ(onesSum(ip, 20), 0xffffu) << "IPv4 header checksum";
  const uint32_t src = be32(ip + 12), dst = be32(ip + 16);
  EXPECT_EQ(src >> 16, 0x0acbu) << "source inside 10.203.0.0/16";
  EXPECT_EQ(dst >> 16, 0x0acbu) << "destination inside 10.203.0.0/16";
  const int proto = ip[9];
  const uint8_t* t = ip + 20;
  const size_t tlen = total - 20u;
  uint16_t sport = 0, dport = 0;
  if (proto == 6 || proto == 17) {
    uint8_t pseudo[12] = {};
    for (int i = 0; i < 8; ++i) pseudo[i] = ip[12 + i];
    pseudo[9] = static_cast<uint8_t>(proto);
    pseudo[10] = static_cast<uint8_t>(tlen >> 8);
    pseudo[11] = static_cast<uint8_t>(tlen);
    EXPECT_EQ(onesSum(t, tlen, onesSum(pseudo, 12)), 0xffffu) << "transport checksum, proto " << proto;
    sport = be16(t);
    dport = be16(t + 2);
    if (proto == 17) EXPECT_EQ(be16(t + 4), tlen) << "UDP length";
    if (servedLocal != 0) {
      const std::set<uint16_t> services = {80, 443, 53, 123, 8080, 3306};
      const bool inbound = dst == servedLocal && services.count(dport);
      const bool outbound = src == servedLocal && services.count(sport);
      EXPECT_TRUE(inbound || outbound) << "a served flow has the local service port at one end";
    }
  } else {
    ASSERT_EQ(proto, 1) << "only TCP, UDP and ICMP";
    EXPECT_EQ(onesSum(t, tlen), 0xffffu) << "ICMP checksum";
    EXPECT_EQ(t[0], 8) << "echo request";
    sport = be16(t + 4);  // echo identifier: one per flow
  }
  mix.packets++;
  mix.bytes += total;
  mix.minSize = std::min<int>(mix.minSize, total);
  mix.maxSize = std::max<int>(mix.maxSize, total);
  mix.flows[proto].insert({src, dst, sport, dport});
}

struct Case {
  std::string name;
  std::string args;
  uint32_t servedLocal;
};

TEST(CompareCapture, WriterMakesSoundMixedTraffic) {
  const std::vector<Case> cases = {
      {"mixed", "--flows 400 --packets 4000 --seed 3", 0},
      {"served", "--flows 400 --packets 4000 --seed 3 --served --local 10.203.0.9", 0x0acb0009},
      {"few flows end early", "--flows 20 --packets 100000 --seed 5", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.args);
    TempDir dir;
    const std::string cmd = "python3 " + sourcePath("bench/compare/make_capture.py") + " " + dir.file("a.pcap") +
                            " --summary " + dir.file("a.json") + " " + c.args + " >/dev/null";
    ASSERT_EQ(runCommand(cmd), 0) << cmd;
    ASSERT_EQ(runCommand("python3 " + sourcePath("bench/compare/make_capture.py") + " " + dir.file("b.pcap") + " " +
                         c.args + " >/dev/null"),
              0);
    const std::string bytes = readFile(dir.file("a.pcap"));
    EXPECT_TRUE(bytes == readFile(dir.file("b.pcap"))) << "the same arguments give the same file";

    Json::Value summary;
    std::istringstream in(readFile(dir.file("a.json")));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &summary, nullptr));

    Mix mix;
    const std::vector<Packet> packets = readPcap(bytes);
    for (size_t i = 0; i < packets.size(); ++i) checkFrame(packets[i], i, c.servedLocal, mix);

    EXPECT_EQ(mix.packets, summary["packets"].asUInt64());
    EXPECT_EQ(mix.bytes, summary["bytes"].asUInt64());
    EXPECT_EQ(mix.minSize, summary["min_size"].asInt());
    EXPECT_EQ(mix.maxSize, summary["max_size"].asInt());
    EXPECT_EQ(mix.flows[6].size(), summary["flows"]["tcp"].asUInt64());
    EXPECT_EQ(mix.flows[17].size(), summary["flows"]["udp"].asUInt64());
    EXPECT_EQ(mix.flows[1].size(), summary["flows"]["icmp"].asUInt64());
    EXPECT_GT(mix.flows[6].size(), 0u);
    EXPECT_GT(mix.flows[17].size(), 0u);
    EXPECT_GT(mix.flows[1].size(), 0u);
  }
}

}  // namespace
