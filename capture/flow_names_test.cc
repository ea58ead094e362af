// Flows named through packet decoding: DNS answers, TLS and QUIC server
// names, the reply direction, flows begun by the other end, and the setting.
#include "capture/flow_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/decode.h"
#include "capture/names/name_table.h"
#include "capture/names/quic_test_vectors.h"
#include "capture/owner_lookups.h"
#include "flow/flow_table.h"

namespace {

constexpr uint32_t kLocal = 0x0a000001;     // 10.0.0.1
constexpr uint32_t kResolver = 0x0a000035;  // 10.0.0.53
constexpr uint32_t kServer = 0xc6336407;    // 198.51.100.7
constexpr uint32_t kQuicServer = 0xcb007109;  // 203.0.113.9
constexpr uint64_t kT0 = 1700000000000;

void noOwner(uint64_t, const OwnerQuery&, OwnerRef&) {}

std::vector<uint8_t> ipv4(uint8_t proto, uint32_t src, uint32_t dst, const std::vector<uint8_t>& transport) {
  std::vector<uint8_t> d = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, proto, 0, 0};
  for (uint32_t a : {src, dst}) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(a >> (24 - 8 * i)));
  }
  d.insert(d.end(), transport.begin(), transport.end());
  d[2] = static_cast<uint8_t>(d.size() >> 8);
  d[3] = static_cast<uint8_t>(d.size());
  return d;
}

std::vector<uint8_t> ports(uint16_t sport, uint16_t dport) {
  return {static_cast<uint8_t>(sport >> 8), static_cast<uint8_t>(sport), static_cast<uint8_t>(dport >> 8),
          static_cast<uint8_t>(dport)};
}

std::vector<uint8_t> udp(uint16_t sport, uint16_t dport, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> t = ports(sport, dport);
  t.insert(t.end(), {0, static_cast<uint8_t>(8 + payload.size()), 0, 0});
  t.insert(t.end(), payload.begin(), payload.end());
  return t;
}

std::vector<uint8_t> tcp(uint16_t sport, uint16_t dport, uint8_t flags, const std::vector<uint8_t>& payload = {}) {
  std::vector<uint8_t> t = ports(sport, dport);
  t.resize(20, 0);
  t[12] = 0x50;
  t[13] = flags;
  t.insert(t.end(), payload.begin(), payload.end());
  return t;
}

void putName(std::vector<uint8_t>& m, const std::string& name) {
  for (size_t start = 0; start < name.size();) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(static_cast<uint8_t>(dot - start));
    m.insert(m.end(), name.begin() + static_cast<ptrdiff_t>(start), name.begin() + static_cast<ptrdiff_t>(dot));
    start = dot + 1;
  }
  m.push_back(0);
}

// A query for `name`, or its answer: `name` CNAME `target`, `target` A `address`.
std::vector<uint8_t> dns(uint16_t id, const std::string& name, bool response, const std::string& target = "",
                         uint32_t address = 0) {
  std::vector<uint8_t> m = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
                            static_cast<uint8_t>(response ? 0x81 : 0x01), static_cast<uint8_t>(response ? 0x80 : 0),
                            0, 1, 0, static_cast<uint8_t>(response ? 2 : 0), 0, 0, 0, 0};
  putName(m, name);
  m.insert(m.end(), {0, 1, 0, 1});
  if (!response) return m;
  std::vector<uint8_t> rdata;
  putName(rdata, target);
  m.insert(m.end(), {0xc0, 0x0c, 0, 5, 0, 1, 0, 0, 0x0e, 0x10, 0, static_cast<uint8_t>(rdata.size())});
  m.insert(m.end(), rdata.begin(), rdata.end());
  putName(m, target);
  m.insert(m.end(), {0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4});
  for (int i = 0; i < 4; ++i) m.push_back(static_cast<uint8_t>(address >> (24 - 8 * i)));
  return m;
}

// A TLS record holding a ClientHello with the server name `name`.
std::vector<uint8_t> clientHello(const std::string& name) {
  std::vector<uint8_t> sni = {0, 0, 0, static_cast<uint8_t>(name.size() + 5), 0, static_cast<uint8_t>(name.size() + 3), 0,
                              0, static_cast<uint8_t>(name.size())};
  sni.insert(sni.end(), name.begin(), name.end());
  std::vector<uint8_t> body = {3, 3};
  body.resize(body.size() + 32, 0x5a);
  body.insert(body.end(), {0, 0, 2, 0x13, 0x01, 1, 0, 0, static_cast<uint8_t>(sni.size())});
  body.insert(body.end(), sni.begin(), sni.end());
  std::vector<uint8_t> hello = {1, 0, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  hello.insert(hello.end(), body.begin(), body.end());
  std::vector<uint8_t> record = {0x16, 3, 1, static_cast<uint8_t>(hello.size() >> 8), static_cast<uint8_t>(hello.size())};
  record.insert(record.end(), hello.begin(), hello.end());
  return record;
}

// The name of the open flow src:sport > dst:dport as "name/source".
std::string nameOf(uint8_t proto, uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport) {
  std::lock_guard<std::mutex> lock(flowTableMutex);
  const FlowRecord* r = findFlow(FlowKey{src, dst, sport, dport, 0, proto});
  return r == nullptr ? "no flow" : r->peername() + "/" + r->namesource();
}

class FlowNames : public ::testing::Test {
 protected:
  void SetUp() override {
    resetFlowTables();
    nameTableClear();
    setPeerNames(true);
    tcpOwnerLookup = udpOwnerLookup = noOwner;
  }
  void TearDown() override {
    tcpOwnerLookup = quickTcpOwner;
    udpOwnerLookup = quickUdpOwner;
    setPeerNames(true);
    resetFlowTables();
  }
  // Decodes the packets in order, one by one or as one batch, from kT0 + `at` ms on.
  void decode(const std::vector<std::vector<uint8_t>>& packets, bool batch, uint64_t at = 0) {
    std::vector<CapturedPacket> captured;
    for (const auto& p : packets) captured.push_back(CapturedPacket{p.data(), p.size(), 0, kT0 + at++});
    if (!batch) {
      for (const CapturedPacket& c : captured) decodePacket(c.data, c.length, kLocal, c.now);
      return;
    }
    std::vector<uint32_t> counted(captured.size());
    decodePackets(captured.data(), captured.size(), kLocal, counted.data());
  }
  // The host asks for `name` and the resolver answers with a CNAME chain to `address`.
  std::vector<std::vector<uint8_t>> resolve(uint16_t id, const std::string& name, uint32_t address) {
    return {ipv4(17, kLocal, kResolver, udp(40000 + id, 53, dns(id, name, false))),
            ipv4(17, kResolver, kLocal, udp(53, 40000 + id, dns(id, name, true, "edge.cdn.test", address)))};
  }
};

TEST_F(FlowNames, DnsNamesFlowsTheHostBeginsAndTheirReplies) {
  for (bool batch : {false, true}) {
    SetUp();
    auto packets = resolve(1, "www.example.test", kServer);
    packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 80, 0x02)));
    packets.push_back(ipv4(6, kServer, kLocal, tcp(80, 50000, 0x12)));
    // The same address begins a flow to this host: a client is never named by DNS.
    packets.push_back(ipv4(6, kServer, kLocal, tcp(6000, 22, 0x02)));
    packets.push_back(ipv4(6, kLocal, kServer, tcp(22, 6000, 0x12)));
    // An answer nobody asked for names nothing.
    packets.push_back(ipv4(17, kResolver, kLocal, udp(53, 40009, dns(9, "forged.test", true, "x.test", kQuicServer))));
    packets.push_back(ipv4(17, kLocal, kQuicServer, udp(50001, 9999, {1, 2, 3})));
    decode(packets, batch);
    const std::string mode = batch ? " batch" : " one by one";
    EXPECT_EQ(nameOf(6, kLocal, 50000, kServer, 80), "www.example.test/dns") << mode;
    EXPECT_EQ(nameOf(6, kServer, 80, kLocal, 50000), "www.example.test/dns") << mode;
    EXPECT_EQ(nameOf(6, kServer, 6000, kLocal, 22), "/") << mode;
    EXPECT_EQ(nameOf(6, kLocal, 22, kServer, 6000), "/") << mode;
    EXPECT_EQ(nameOf(17, kLocal, 50001, kQuicServer, 9999), "/") << mode;
    EXPECT_EQ(nameOf(17, kLocal, 40001, kResolver, 53), "/") << mode << ": the resolver has no name";
  }
}

TEST_F(FlowNames, OwnServerNameWinsOnceAndForBothDirections) {
  for (bool batch : {false, true}) {
    SetUp();
    auto packets = resolve(1, "www.example.test", kServer);
    packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 443, 0x02)));
    packets.push_back(ipv4(6, kServer, kLocal, tcp(443, 50000, 0x12)));
    packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 443, 0x18, clientHello("api.example.test"))));
    // A second hello on the same flow, and a later answer for the address, change nothing.
    packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 443, 0x18, clientHello("later.test"))));
    for (auto& p : resolve(2, "www.other.test", kServer)) packets.push_back(p);
    // A flow begun after that answer takes the latest DNS name.
    packets.push_back(ipv4(6, kLocal, kServer, tcp(50001, 8080, 0x02)));
    // A local server learns its client's server name from the hello alone.
    packets.push_back(ipv4(6, kServer, kLocal, tcp(7000, 443, 0x02)));
    packets.push_back(ipv4(6, kLocal, kServer, tcp(443, 7000, 0x12)));
    packets.push_back(ipv4(6, kServer, kLocal, tcp(7000, 443, 0x18, clientHello("me.local.test"))));
    const std::vector<uint8_t> quic = quicTestBytes(kQuicTestV1ClientInitial), quic2 = quicTestBytes(kQuicTestV2ClientInitial);
    packets.push_back(ipv4(17, kLocal, kQuicServer, udp(50002, 443, quic)));
    packets.push_back(ipv4(17, kQuicServer, kLocal, udp(443, 50002, {0x40, 1, 2, 3})));
    packets.push_back(ipv4(17, kLocal, kQuicServer, udp(50003, 443, quic2)));
    decode(packets, batch);
    const std::string mode = batch ? " batch" : " one by one";
    EXPECT_EQ(nameOf(6, kLocal, 50000, kServer, 443), "api.example.test/tls") << mode;
    EXPECT_EQ(nameOf(6, kServer, 443, kLocal, 50000), "api.example.test/tls") << mode;
    EXPECT_EQ(nameOf(6, kLocal, 50001, kServer, 8080), "www.other.test/dns") << mode;
    EXPECT_EQ(nameOf(6, kServer, 7000, kLocal, 443), "me.local.test/tls") << mode;
    EXPECT_EQ(nameOf(6, kLocal, 443, kServer, 7000), "me.local.test/tls") << mode;
    EXPECT_EQ(nameOf(17, kLocal, 50002, kQuicServer, 443), "example.com/quic") << mode;
    EXPECT_EQ(nameOf(17, kQuicServer, 443, kLocal, 50002), "example.com/quic") << mode;
    EXPECT_EQ(nameOf(17, kLocal, 50003, kQuicServer, 443), "example.com/quic") << mode << ": version 2";
  }
}

TEST_F(FlowNames, LaterRecordsOfALongFlowKeepTheName) {
  decode({ipv4(6, kLocal, kServer, tcp(50000, 443, 0x02)), ipv4(6, kServer, kLocal, tcp(443, 50000, 0x12)),
          ipv4(6, kLocal, kServer, tcp(50000, 443, 0x18, clientHello("long.example.test")))},
         false);
  // Packets every 10 s for 70 s: the 60 s rule cuts the flow, the next record carries on.
  for (uint64_t t = 10000; t <= 70000; t += 10000) {
    decode({ipv4(6, kLocal, kServer, tcp(50000, 443, 0x10)), ipv4(6, kServer, kLocal, tcp(443, 50000, 0x10))}, false, t);
  }
  decode({ipv4(6, kLocal, kServer, tcp(50000, 443, 0x10)), ipv4(6, kServer, kLocal, tcp(443, 50000, 0x10))}, false,
         71000);
  EXPECT_GT(toExportSize(), 0u) << "the first records were cut";
  EXPECT_EQ(nameOf(6, kLocal, 50000, kServer, 443), "long.example.test/tls");
  EXPECT_EQ(nameOf(6, kServer, 443, kLocal, 50000), "long.example.test/tls");
  std::vector<FlowEntry> done;
  takeExports(done, 10);
  for (const FlowEntry& e : done) EXPECT_EQ(e.peername(), "long.example.test") << e.srcport;
}

TEST_F(FlowNames, SettingOffNamesNothing) {
  setPeerNames(false);
  auto packets = resolve(1, "www.example.test", kServer);
  packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 443, 0x02)));
  packets.push_back(ipv4(6, kLocal, kServer, tcp(50000, 443, 0x18, clientHello("api.example.test"))));
  decode(packets, false);
  EXPECT_EQ(nameOf(6, kLocal, 50000, kServer, 443), "/");
  EXPECT_EQ(nameTableCounts().names, 0u);
}

}  // namespace
