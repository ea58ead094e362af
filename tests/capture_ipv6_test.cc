// Both address families on one veth link, with the monitor as a process on
// the watched side: this process's IPv6 UDP queries and TCP exchange, an IPv6
// server of this process reached by the peer, an ICMPv6 echo, and the same
// kinds over IPv4 beside them. Every record is read back from the status
// document with its counters, direction and owner; with captureIPv6 false no
// IPv6 record appears and the IPv4 ones are the same.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "platform/clock.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kNear4 = "10.201.11.1";  // the monitor's side
constexpr const char* kFar4 = "10.201.11.2";
constexpr const char* kNear6 = "fd00:201:11::1";
constexpr const char* kFar6 = "fd00:201:11::2";
// Added to the watched side once capture runs: local all the same.
constexpr const char* kLater6 = "fd00:201:11::7";
constexpr uint16_t kPeerPort = 5201, kLocalPort = 5202;
constexpr int kQueries = 3;
constexpr int kQueryBytes = 5;  // "query"

// Socket address of `address` (either family) and `port`.
sockaddr_storage socketAddress(const char* address, uint16_t port, socklen_t& length) {
  sockaddr_storage s{};
  if (strchr(address, ':') != nullptr) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&s);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, address, &a->sin6_addr);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, address, &a->sin_addr);
    length = sizeof *a;
  }
  return s;
}

// A socket of `type` bound to `address`:`port`; -1 when it cannot be had.
int bound(int type, const char* address, uint16_t port = 0) {
  socklen_t length = 0;
  const sockaddr_storage at = socketAddress(address, port, length);
  const int fd = socket(at.ss_family, type | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t portOf(int fd) {
  sockaddr_storage s{};
  socklen_t length = sizeof s;
  getsockname(fd, reinterpret_cast<sockaddr*>(&s), &length);
  return ntohs(s.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&s)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&s)->sin_port);
}

// Answers every UDP datagram and every TCP request on `addresses`:`port`
// with one byte, at once, on a thread inside `ns`.
struct Answerer {
  std::thread thread;
  std::atomic<bool> ready{false}, done{false};
  Answerer(const Netns& ns, std::vector<const char*> addresses, uint16_t port) {
    thread = std::thread([=, this, &ns] {
      if (!enterNamespace(ns)) return;
      std::vector<pollfd> waits;
      for (const char* address : addresses) {
        waits.push_back({bound(SOCK_DGRAM, address, port), POLLIN, 0});
        waits.push_back({bound(SOCK_STREAM, address, port), POLLIN, 0});
        listen(waits.back().fd, 8);
      }
      ready = true;
      char buf[16];
      while (!done) {
        if (poll(waits.data(), waits.size(), 50) <= 0) continue;
        for (size_t i = 0; i < waits.size(); ++i) {
          if (!(waits[i].revents & POLLIN)) continue;
          if (i % 2 == 0) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            if (recvfrom(waits[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
              sendto(waits[i].fd, "a", 1, 0, reinterpret_cast<const sockaddr*>(&from), length);
            }
          } else if (const int conn = accept(waits[i].fd, nullptr, nullptr); conn >= 0) {
            if (recv(conn, buf, sizeof buf, 0) > 0) send(conn, "a", 1, 0);
            sleepMillis(100);  // the client closes first
            close(conn);
          }
        }
      }
      for (const pollfd& p : waits) close(p.fd);
    });
    EXPECT_TRUE(waitFor([&] { return ready.load(); }, milliseconds(5000)));
  }
  ~Answerer() {
    done = true;
    thread.join();
  }
};

// An IPv6 hop-by-hop header of 200 bytes, longer than the capture keeps of
// a packet: one option of a type a receiver skips (0x1e) and 196 bytes.
constexpr size_t kHopByHopBytes = 200;
std::vector<uint8_t> hopByHopHeader() {
  std::vector<uint8_t> h(kHopByHopBytes, 0);
  h[1] = kHopByHopBytes / 8 - 1;
  h[2] = 0x1e;
  h[3] = kHopByHopBytes - 4;
  return h;
}

// kQueries UDP queries of `bytes` from one socket on `from`, each answered,
// with a hop-by-hop header when `hopByHop` (IPv6 only); its port, 0 when an
// answer did not come.
uint16_t udpQueries(const char* from, const char* to, int bytes = kQueryBytes, bool hopByHop = false) {
  const int fd = bound(SOCK_DGRAM, from);
  socklen_t length = 0;
  const sockaddr_storage at = socketAddress(to, kPeerPort, length);
  char answer[4];
  const std::string query(static_cast<size_t>(bytes), 'q');
  const std::vector<uint8_t> options = hopByHopHeader();
  bool ok = fd >= 0 && (!hopByHop || setsockopt(fd, IPPROTO_IPV6, IPV6_HOPOPTS, options.data(),
                                                static_cast<socklen_t>(options.size())) == 0);
  for (int i = 0; ok && i < kQueries; ++i) {
    pollfd p = {fd, POLLIN, 0};
    ok = sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&at), length) == bytes &&
         poll(&p, 1, 2000) == 1 && recv(fd, answer, sizeof answer, 0) == 1;
  }
  const uint16_t port = ok ? portOf(fd) : 0;
  if (fd >= 0) close(fd);
  return port;
}

// One TCP request and its answer from `from` to `to`:`port`; the client's
// port, 0 on failure.
uint16_t tcpRequest(const char* from, const char* to, uint16_t port) {
  const int fd = bound(SOCK_STREAM, from);
  socklen_t length = 0;
  const sockaddr_storage at = socketAddress(to, port, length);
  char answer[4];
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&at), length) == 0 &&
                  send(fd, "q", 1, 0) == 1 && recv(fd, answer, sizeof answer, 0) == 1;
  const uint16_t local = ok ? portOf(fd) : 0;
  if (fd >= 0) close(fd);
  return local;
}

// A record the status document must hold (pkts and bytes 0: not checked
// exactly, as TCP's depend on the kernel's timing).
struct Expected {
  std::string what;
  int family, proto;
  std::string src, dst;
  int srcport, dstport;
  bool outbound, owned;
  int pkts = 0, bytes = 0;
};

// The mix of traffic with the monitor watching; the records it must show.
// `flows` gets the status document's flows once every expected one is there
// (or after 10 s).
void runMix(bool captureIpv6, std::vector<Expected>& expected, Json::Value& flows) {
  Netns watched("vt-cap6-a");
  Netns peer("vt-cap6-b");
  const std::string nearEnd = linkNamespaces(watched, std::string(kNear4) + "/24", peer, std::string(kFar4) + "/24");
  std::string farEnd = nearEnd;
  farEnd.back() = 'b';
  ASSERT_EQ(watched.exec("ip -6 addr add " + std::string(kNear6) + "/64 dev " + nearEnd + " nodad"), 0);
  ASSERT_EQ(peer.exec("ip -6 addr add " + std::string(kFar6) + "/64 dev " + farEnd + " nodad"), 0);

  TempDir dir;
  ChildProcess monitor;
  const std::string settings =
      std::string("{\"listenerIP\": \"\", \"receiverIP\": \"0.0.0.0\", \"httpPort\": 17913, \"user\": \"admin\", "
                  "\"pass\": \"x\"") +
      (captureIpv6 ? "" : ", \"captureIPv6\": false") + "}";
  ASSERT_TRUE(startMonitor(monitor, dir, watched, settings, "IO controls set!\n")) << monitor.output();
  sleepMillis(300);  // the IPv6 half of the set-up follows that line
  const char* ipv6Line = "captureIPv6 is false: IPv6 packets are not captured\n";
  EXPECT_EQ(monitor.output().find(ipv6Line) != std::string::npos, !captureIpv6) << monitor.output();
  EXPECT_EQ(monitor.output().find("IPv6 capture on"), std::string::npos) << monitor.output();

  // An address the interface gains while capture runs is local as soon as
  // the monitor has read the adapters after the notice (within 1.25 s).
  ASSERT_EQ(watched.exec("ip -6 addr add " + std::string(kLater6) + "/64 dev " + nearEnd + " nodad"), 0);
  sleepMillis(1500);

  Answerer far(peer, {kFar4, kFar6}, kPeerPort);
  Answerer near(watched, {kNear6}, kLocalPort);
  const int udp6 = 40 + 8, udp4 = 20 + 8;
  inNamespace(watched, [&] {
    for (const auto& [family, from, to] :
         {std::tuple{6, kNear6, kFar6}, std::tuple{6, kLater6, kFar6}, std::tuple{4, kNear4, kFar4}}) {
      const std::string kind = std::string(family == 6 ? "IPv6" : "IPv4") + " UDP query from " + from;
      const int header = family == 6 ? udp6 : udp4;
      const uint16_t port = udpQueries(from, to);
      ASSERT_NE(port, 0) << kind;
      expected.push_back({kind, family, 17, from, to, port, kPeerPort, true, true, kQueries,
                          kQueries * (header + kQueryBytes)});
      expected.push_back({kind + ", answers", family, 17, to, from, kPeerPort, port, false, true, kQueries,
                          kQueries * (header + 1)});
    }
    // Longer than the capture keeps of a packet (its headers): counted as
    // they were on the wire, an IPv6 one with an extension header too.
    for (const auto& [family, hopByHop] : {std::pair{6, false}, std::pair{6, true}, std::pair{4, false}}) {
      const std::string kind = std::string(family == 6 ? "IPv6" : "IPv4") + " UDP query of 1200 bytes" +
                               (hopByHop ? " after a hop-by-hop header" : "");
      const char* from = family == 6 ? kNear6 : kNear4;
      const char* to = family == 6 ? kFar6 : kFar4;
      const int header = (family == 6 ? udp6 : udp4) + (hopByHop ? static_cast<int>(kHopByHopBytes) : 0);
      const uint16_t port = udpQueries(from, to, 1200, hopByHop);
      ASSERT_NE(port, 0) << kind;
      expected.push_back({kind, family, 17, from, to, port, kPeerPort, true, true, kQueries,
                          kQueries * (header + 1200)});
      expected.push_back({kind + ", answers", family, 17, to, from, kPeerPort, port, false, true, kQueries,
                          kQueries * ((family == 6 ? udp6 : udp4) + 1)});
    }
    for (const auto& [family, from, to] : {std::tuple{6, kNear6, kFar6}, std::tuple{4, kNear4, kFar4}}) {
      const std::string kind = std::string(family == 6 ? "IPv6" : "IPv4") + " TCP request";
      const uint16_t port = tcpRequest(from, to, kPeerPort);
      ASSERT_NE(port, 0) << kind;
      expected.push_back({kind, family, 6, from, to, port, kPeerPort, true, true});
      expected.push_back({kind + ", answers", family, 6, to, from, kPeerPort, port, false, true});
    }
    for (const auto& [family, to] : {std::pair{6, kFar6}, std::pair{4, kFar4}}) {
      const std::string kind = family == 6 ? "ICMPv6 echo" : "ICMP echo";
      const char* from = family == 6 ? kNear6 : kNear4;
      ASSERT_EQ(watched.exec(std::string("ping -") + char('0' + family) + " -c 1 -W 2 -I " + from + " " + to +
                             " >/dev/null"),
                0)
          << kind;
      const int proto = family == 6 ? 58 : 1;
      const int echo = family == 6 ? 128 : 8, reply = family == 6 ? 129 : 0;
      const int bytes = (family == 6 ? 40 : 20) + 8 + 56;
      expected.push_back({kind + " request", family, proto, from, to, echo, 0, true, false, 1, bytes});
      expected.push_back({kind + " reply", family, proto, to, from, reply, 0, false, false, 1, bytes});
    }
  });
  inNamespace(peer, [&] {
    const uint16_t port = tcpRequest(kFar6, kNear6, kLocalPort);
    ASSERT_NE(port, 0) << "the peer's request to the IPv6 server";
    expected.push_back({"IPv6 server, request", 6, 6, kFar6, kNear6, port, kLocalPort, false, true});
    expected.push_back({"IPv6 server, answer", 6, 6, kNear6, kFar6, kLocalPort, port, true, true});
  });

  const auto matches = [](const Json::Value& f, const Expected& e) {
    return f["family"] == e.family && f["proto"] == e.proto && f["srcip"] == e.src && f["dstip"] == e.dst &&
           f["srcport"] == e.srcport && f["dstport"] == e.dstport;
  };
  // A record shows up with its first packet; the rest of its packets may
  // still wait in a ring block the kernel has not handed over yet, so wait
  // for every record to hold all of them.
  const auto counted = [](const Json::Value& f, const Expected& e) {
    return e.pkts != 0 ? f["pkts"].asInt() >= e.pkts : e.proto != 6 || f["pkts"].asInt() >= 3;
  };
  const auto readFlows = [&] {
    std::string body;
    watched.exec("curl -s --max-time 5 --digest -u admin:x 'http://127.0.0.1:17913/data/?requestedData=flows'", &body);
    flows = parseJson(body)["flows"];
    for (const Expected& e : expected) {
      if (e.family == 4 || captureIpv6) {
        if (std::none_of(flows.begin(), flows.end(),
                         [&](const Json::Value& f) { return matches(f, e) && counted(f, e); })) {
          return false;
        }
      }
    }
    return true;
  };
  EXPECT_TRUE(waitFor(readFlows, milliseconds(10000))) << flows.toStyledString();

  const OwnIdentity own;
  for (const Expected& e : expected) {
    if (e.family == 6 && !captureIpv6) continue;
    const auto f = std::find_if(flows.begin(), flows.end(), [&](const Json::Value& f) { return matches(f, e); });
    if (f == flows.end()) {
      ADD_FAILURE() << e.what << ": no record";
      continue;
    }
    EXPECT_EQ((*f)["outif"], e.outbound ? 1 : 0) << e.what;
    EXPECT_EQ((*f)["inif"], e.outbound ? 0 : 1) << e.what;
    EXPECT_EQ((*f)["processname"], e.owned ? own.processname : "") << e.what;
    EXPECT_EQ((*f)["user"], e.owned ? own.user : "") << e.what;
    EXPECT_EQ((*f)["domain"], e.owned ? own.domain : "") << e.what;
    if (e.pkts != 0) {
      EXPECT_EQ((*f)["pkts"], e.pkts) << e.what;
      EXPECT_EQ((*f)["bytes"], e.bytes) << e.what;
    }
    if (e.proto == 6) {
      EXPECT_EQ((*f)["flags"].asInt() & 0x02, 0x02) << e.what << ": SYN";
      EXPECT_GE((*f)["pkts"].asInt(), 3) << e.what;
    }
  }
  if (!captureIpv6) {
    for (const Json::Value& f : flows) EXPECT_EQ(f["family"], 4) << "an IPv6 record: " << f.toStyledString();
  }
  EXPECT_EQ(monitor.output().find("unsupported version"), std::string::npos) << monitor.output();
}

TEST(CaptureIpv6, BothFamiliesOnOneLinkWithCountersDirectionAndOwners) {
  REQUIRE_ROOT();
  std::vector<Expected> expected;
  Json::Value flows;
  runMix(true, expected, flows);
  // Beside them the link's own IPv6 traffic (neighbour discovery): ICMPv6,
  // owned by nobody.
  for (const Json::Value& f : flows) {
    if (f["family"] == 6 && f["proto"] != 6 && f["proto"] != 17) EXPECT_EQ(f["processname"], "") << f.toStyledString();
  }
}

TEST(CaptureIpv6, CaptureIpv6FalseLeavesIpv6OutAndIpv4AsItWas) {
  REQUIRE_ROOT();
  std::vector<Expected> expected;
  Json::Value flows;
  runMix(false, expected, flows);
  EXPECT_EQ(std::count_if(flows.begin(), flows.end(), [](const Json::Value& f) { return f["family"] == 4; }),
            std::count_if(expected.begin(), expected.end(), [](const Expected& e) { return e.family == 4; }))
      << flows.toStyledString();
}

}  // namespace
