// Peer names end to end: programs on the watched side resolve names through
// a resolver in the peer namespace (UDP and TCP, a CNAME chain, AAAA, an
// answer over TCP in several segments), then
// connect; a TLS client names its server; QUIC Initial packets name theirs.
// Every flow the status document lists carries the expected name.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "capture/names/dns_test_messages.h"
#include "capture/names/quic_test_vectors.h"
#include "platform/clock.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kWatched = "10.203.9.1";
constexpr const char* kPeer = "10.203.9.2";
constexpr const char* kWatched6 = "fd00:203:9::1";
constexpr const char* kPeer6 = "fd00:203:9::2";
constexpr const char* kSplitResolver = "10.203.9.3";
constexpr uint16_t kTlsPort = 24433;

// Asks the resolver for `name` of `type` (1 A, 28 AAAA) over UDP or TCP;
// true when an answer came.
bool resolve(const std::string& name, uint16_t type, bool tcp, uint16_t id, const char* server = kPeer) {
  const std::vector<uint8_t> q = dnsTestMessage(id, name, type, {}, false);
  const int fd = boundSocket(tcp ? SOCK_STREAM : SOCK_DGRAM, kWatched, 0);
  const sockaddr_in to = endpoint(server, 53);
  timeval wait{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  uint8_t answer[2048];
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  if (ok && tcp) {
    std::vector<uint8_t> framed = {static_cast<uint8_t>(q.size() >> 8), static_cast<uint8_t>(q.size())};
    framed.insert(framed.end(), q.begin(), q.end());
    ok = send(fd, framed.data(), framed.size(), 0) == static_cast<ssize_t>(framed.size());
  } else if (ok) {
    ok = send(fd, q.data(), q.size(), 0) == static_cast<ssize_t>(q.size());
  }
  // Over TCP the whole framed answer, which may come in pieces.
  size_t got = 0;
  while (ok) {
    const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
    ok = n > 0;
    if (ok) got += static_cast<size_t>(n);
    if (!tcp || (got >= 2 && got >= 2u + (answer[0] << 8 | answer[1]))) break;
  }
  ok = ok && got > 12;
  close(fd);
  return ok;
}

// A resolver over TCP on `listener` that answers one query with 31 A
// records, the last kSplitResolver, written in three segments: the length
// and most of the header, 250 bytes of the message, the rest.
void answerInPieces(int listener, const std::string& name) {
  const int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  uint8_t query[512];
  const ssize_t got = recv(fd, query, sizeof query, 0);
  if (got > 4) {
    const uint16_t id = static_cast<uint16_t>(query[2] << 8 | query[3]);
    // Enough records that the later segments are longer than a header cut.
    std::vector<DnsTestAnswer> records;
    for (uint8_t host = 100; host < 130; ++host) records.push_back({4, {10, 203, 8, host}, 600});
    records.push_back({4, {10, 203, 9, 3}, 600});
    const std::vector<uint8_t> answer = dnsTestMessage(id, name, 1, records, true);
    std::vector<uint8_t> framed = {static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())};
    framed.insert(framed.end(), answer.begin(), answer.end());
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (size_t at = 0, piece = 0; at < framed.size(); ++piece) {
      const size_t n = piece == 0 ? 10 : piece == 1 ? 250 : framed.size() - at;
      send(fd, framed.data() + at, n, MSG_NOSIGNAL);
      at += n;
      sleepMillis(100);
    }
  }
  sleepMillis(200);
  close(fd);
}

// A TCP connection from `from` to `to` on kTlsPort, held briefly; its local port (0 on failure).
uint16_t connectTo(int family, const char* from, const char* to) {
  const int fd = socket(family, SOCK_STREAM, 0);
  uint16_t port = 0;
  if (family == AF_INET) {
    sockaddr_in local = endpoint(from, 0), remote = endpoint(to, kTlsPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
      port = localPort(fd);
    }
  } else {
    sockaddr_in6 local{}, remote{};
    local.sin6_family = remote.sin6_family = AF_INET6;
    inet_pton(AF_INET6, from, &local.sin6_addr);
    inet_pton(AF_INET6, to, &remote.sin6_addr);
    remote.sin6_port = htons(kTlsPort);
    socklen_t size = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
      port = ntohs(local.sin6_port);
    }
  }
  sleepMillis(300);
  close(fd);
  return port;
}

// One UDP datagram from `from` to `to`:`toPort`; the local port.
uint16_t sendUdp(const char* from, const char* to, uint16_t toPort, const std::vector<uint8_t>& payload) {
  const int fd = boundSocket(SOCK_DGRAM, from, 0);
  const sockaddr_in peer = endpoint(to, toPort);
  sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  const uint16_t port = localPort(fd);
  sleepMillis(200);
  close(fd);
  return port;
}

TEST(PeerNames, FlowsCarryTheNamesTheHostAskedForAndSent) {
  REQUIRE_ROOT();
  Netns watched("vt-pn-a");
  Netns peerNs("vt-pn-b");
  const std::string veth = linkNamespaces(watched, std::string(kWatched) + "/24", peerNs, std::string(kPeer) + "/24");
  ASSERT_EQ(watched.exec("ip -6 addr add " + std::string(kWatched6) + "/64 dev " + veth + " nodad"), 0);
  // The peer's end is named as the watched one, with b for a.
  const std::string peerVeth = veth.substr(0, veth.size() - 1) + "b";
  ASSERT_EQ(peerNs.exec("ip -6 addr add " + std::string(kPeer6) + "/64 dev " + peerVeth + " nodad"), 0);
  TempDir dir;
  ASSERT_EQ(runCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
                       "/CN=vt-names -keyout " + dir.file("key.pem") + " -out " + dir.file("cert.pem") +
                       " >/dev/null 2>&1"),
            0);
  ChildProcess resolver, tlsServer;
  ASSERT_TRUE(resolver.start({"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                              "--no-hosts", "--bind-interfaces", "--listen-address=" + std::string(kPeer),
                              "--pid-file=", "--user=root", "--cname=www.vt-names.test,edge.vt-names.test",
                              "--host-record=edge.vt-names.test," + std::string(kPeer),
                              "--host-record=alt.vt-names.test," + std::string(kPeer),
                              "--host-record=six.vt-names.test," + std::string(kPeer6)},
                             dir.path, dir.file("dnsmasq.log"), peerNs.name));
  ASSERT_TRUE(tlsServer.start({"openssl", "s_server", "-quiet", "-accept", std::to_string(kTlsPort), "-cert",
                               dir.file("cert.pem"), "-key", dir.file("key.pem")},
                              dir.path, dir.file("s_server.log"), peerNs.name));
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, watched,
                           "{\"listenerIP\": \"" + std::string(kWatched) +
                               "\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": 20556, "
                               "\"httpPort\": 17919, \"user\": \"admin\", \"pass\": \"x\"}",
                           "Listener Socket IO controls set!\n"))
      << monitor.output();
  ASSERT_EQ(peerNs.exec("ip addr add " + std::string(kSplitResolver) + "/24 dev " + peerVeth), 0);
  int splitListener = -1;
  inNamespace(peerNs, [&] { splitListener = boundSocket(SOCK_STREAM, kSplitResolver, 53); });
  ASSERT_GE(splitListener, 0);
  ASSERT_EQ(listen(splitListener, 1), 0);
  std::thread splitResolver(answerInPieces, splitListener, "split.vt-names.test");
  sleepMillis(1500);  // the resolver and the IPv6 capture are set up

  uint16_t unnamed = 0, viaUdp = 0, viaTcp6 = 0, viaSplit = 0, latest = 0, quic1 = 0, quic2 = 0;
  inNamespace(watched, [&] {
    // An answer nobody asked for, then a flow to the address it gives.
    const std::vector<uint8_t> forged = dnsTestMessage(77, "forged.vt-names.test", 1, {{4, {10, 203, 9, 2}, 3600}}, true);
    inNamespace(peerNs, [&] { sendUdp(kPeer, kWatched, 40999, forged); });
    unnamed = sendUdp(kWatched, kPeer, 9999, {1, 2, 3});
    // UDP, through the CNAME chain; then TCP for AAAA.
    ASSERT_TRUE(resolve("www.vt-names.test", 1, false, 1));
    viaUdp = connectTo(AF_INET, kWatched, kPeer);
    ASSERT_TRUE(resolve("six.vt-names.test", 28, true, 2));
    viaTcp6 = connectTo(AF_INET6, kWatched6, kPeer6);
    // An answer over TCP in several segments, only the first beginning the message.
    ASSERT_TRUE(resolve("split.vt-names.test", 1, true, 4, kSplitResolver));
    viaSplit = connectTo(AF_INET, kWatched, kSplitResolver);
    // A second name for the same address: the latest answer names new flows.
    ASSERT_TRUE(resolve("alt.vt-names.test", 1, false, 3));
    latest = connectTo(AF_INET, kWatched, kPeer);
    // The TLS client's own name wins over any answer.
    watched.exec("echo | timeout 5 openssl s_client -connect " + std::string(kPeer) + ":" + std::to_string(kTlsPort) +
                 " -servername tls.vt-names.test >/dev/null 2>&1");
    quic1 = sendUdp(kWatched, kPeer, 443, quicTestBytes(kQuicTestV1ClientInitial));
    quic2 = sendUdp(kWatched, kPeer, 443, quicTestBytes(kQuicTestV2ClientInitial));
    sleepMillis(500);
  });
  splitResolver.join();
  close(splitListener);
  ASSERT_NE(viaUdp, 0) << readFile(dir.file("dnsmasq.log"));
  ASSERT_NE(viaTcp6, 0);

  std::string body;
  ASSERT_EQ(watched.exec("curl -s --max-time 10 --digest -u admin:x "
                         "'http://127.0.0.1:17919/data/?requestedData=flows'",
                         &body),
            0);
  const Json::Value doc = parseJson(body);
  const std::vector<Json::Value> flows(doc["flows"].begin(), doc["flows"].end());
  const struct {
    const char* what;
    int proto;
    const char* dst;
    int srcport, dstport;
    const char *name, *source;
  } expected[] = {
      {"answer without a query", 17, kPeer, unnamed, 9999, "", ""},
      {"UDP DNS, CNAME chain", 6, kPeer, viaUdp, kTlsPort, "www.vt-names.test", "dns"},
      {"TCP DNS, AAAA", 6, kPeer6, viaTcp6, kTlsPort, "six.vt-names.test", "dns"},
      {"TCP DNS, answer in three segments", 6, kSplitResolver, viaSplit, kTlsPort, "split.vt-names.test", "dns"},
      {"second name, latest answer", 6, kPeer, latest, kTlsPort, "alt.vt-names.test", "dns"},
      {"QUIC version 1", 17, kPeer, quic1, 443, "example.com", "quic"},
      {"QUIC version 2", 17, kPeer, quic2, 443, "example.com", "quic"},
  };
  for (const auto& e : expected) {
    for (bool reply : {false, true}) {
      const auto f = std::find_if(flows.begin(), flows.end(), [&](const Json::Value& f) {
        return f["proto"] == e.proto && f[reply ? "srcip" : "dstip"] == e.dst &&
               f[reply ? "dstport" : "srcport"] == e.srcport && f[reply ? "srcport" : "dstport"] == e.dstport;
      });
      if (reply && e.proto == 17) continue;  // nobody answers these
      ASSERT_NE(f, flows.end()) << e.what << (reply ? " reply" : "") << "\n" << body;
      EXPECT_EQ((*f)["peername"], e.name) << e.what << (reply ? " reply" : "");
      EXPECT_EQ((*f)["namesource"], e.source) << e.what << (reply ? " reply" : "");
    }
  }
  size_t tlsFlows = 0;
  for (const Json::Value& f : flows) {
    if (f["proto"] == 6 && (f["dstport"] == kTlsPort || f["srcport"] == kTlsPort) && f["namesource"] == "tls") {
      EXPECT_EQ(f["peername"], "tls.vt-names.test");
      ++tlsFlows;
    }
  }
  EXPECT_EQ(tlsFlows, 2u) << "the TLS client's flow and its reply\n" << body;
}

}  // namespace
