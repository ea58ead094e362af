// Port owners of real sockets: the test's own TCP and UDP sockets on
// 127.0.0.1, found through the system's tables with this executable's name,
// account and host name; a forked child's socket with the child's pid.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/endpoints.h"
#include "platform/linux/socket_rows.h"
#include "process/process_table.h"
#include "process/socket_table6.h"
#include "tests/support/system_test.h"

namespace {

struct Socket {
  int fd = -1;
  Socket() = default;
  explicit Socket(int type) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {}
  Socket(Socket&& other) noexcept : fd(other.fd) { other.fd = -1; }
  ~Socket() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  uint16_t port() const { return localPort(fd); }
};

// A socket of `type` on 127.0.0.1 at a port the system picks.
Socket bound(int type) {
  Socket s;
  s.fd = boundSocket(type, "127.0.0.1");
  return s;
}

// An IPv6 socket on `address`, listening if TCP.
Socket boundIpv6(int type, const char* address, int v6only = 0) {
  Socket s;
  s.fd = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  inet_pton(AF_INET6, address, &a.sin6_addr);
  if (s.fd >= 0 && (setsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0 ||
                    bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                    (type == SOCK_STREAM && listen(s.fd, 1) != 0))) {
    s.reset();
  }
  return s;
}

class ProcessAttributionTest : public testing::Test {
 protected:
  void SetUp() override {
    reset();
    // A test's fruitless refresh pauses further misses for a while; the next
    // test starts well after that pause.
    now += 10 * kFruitlessRefreshPauseMillis;
  }
  void TearDown() override { reset(); }
  static void reset() {
    {
      std::lock_guard<std::mutex> lock(processTableMutex);
      tcpProcessIDs.clear();
      udpProcessIDs.clear();
    }
    std::lock_guard<std::mutex> lock(socket6TableMutex);
    tcp6Sockets.clear();
    udp6Sockets.clear();
  }
  // Each lookup gets a later time than the one before, in every test.
  static uint64_t tick() { return now = std::max(now + 1, currentTimeMillis()); }
  static inline uint64_t now = 0;
};

// Forks a child that binds a UDP socket of its own and keeps `shared` open
// too; it ends when its pipe closes.
struct Child {
  pid_t pid = -1;
  int control = -1;
  uint16_t ownPort = 0;
  explicit Child(int shared) {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return;
    pid = fork();
    if (pid == 0) {
      // `shared` stays open here as inherited.
      (void)shared;
      close(ready[0]);
      close(hold[1]);
      Socket own = bound(SOCK_DGRAM);
      uint16_t port = own.port();
      (void)!write(ready[1], &port, sizeof port);
      char c;
      (void)!read(hold[0], &c, 1);
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    control = hold[1];
    if (read(ready[0], &ownPort, sizeof ownPort) != sizeof ownPort) ownPort = 0;
    close(ready[0]);
  }
  ~Child() {
    if (control >= 0) close(control);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

TEST_F(ProcessAttributionTest, RowsNameTheOwningProcessAndTheLowestOfSharers) {
  Socket shared = bound(SOCK_DGRAM);
  ASSERT_GE(shared.fd, 0);
  Child child(shared.fd);
  ASSERT_GT(child.pid, 0);
  ASSERT_NE(child.ownPort, 0);

  const EndpointTable read = readUdpEndpoints();
  ASSERT_EQ(read.status, EndpointStatus::kOk);
  uint32_t sharedPid = 0, childPid = 0;
  for (const EndpointRow& r : read.rows) {
    if (r.localAddr == INADDR_LOOPBACK && r.localPort == shared.port()) sharedPid = r.pid;
    if (r.localAddr == INADDR_LOOPBACK && r.localPort == child.ownPort) childPid = r.pid;
  }
  EXPECT_EQ(sharedPid, std::min(static_cast<uint32_t>(getpid()), static_cast<uint32_t>(child.pid)))
      << "a socket both hold belongs to the lower pid (the child's once pids have wrapped)";
  EXPECT_EQ(childPid, static_cast<uint32_t>(child.pid));
  EXPECT_TRUE(std::is_sorted(read.rows.begin(), read.rows.end(), [](const EndpointRow& a, const EndpointRow& b) {
    return std::tie(a.localAddr, a.localPort) < std::tie(b.localAddr, b.localPort);
  }));
}

TEST_F(ProcessAttributionTest, OwnersNotAskedForAreNotSearchedButKnownOnesStay) {
  Socket udp = bound(SOCK_DGRAM);
  ASSERT_GE(udp.fd, 0);
  auto pidOf = [&](const EndpointTable& read) {
    for (const EndpointRow& r : read.rows) {
      if (r.localAddr == INADDR_LOOPBACK && r.localPort == udp.port()) return static_cast<int64_t>(r.pid);
    }
    return int64_t{-1};
  };
  const OwnerFilter none = [](uint16_t) { return false; };
  EXPECT_EQ(pidOf(readUdpEndpoints(none)), 0);
  EXPECT_EQ(pidOf(readUdpEndpoints()), getpid());
  EXPECT_EQ(pidOf(readUdpEndpoints(none)), getpid());
}

TEST_F(ProcessAttributionTest, NetlinkAndProcNetListTheSameSockets) {
  Socket listener = bound(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 1), 0);
  Socket udp = bound(SOCK_DGRAM);
  Socket mappedTcp = boundIpv6(SOCK_STREAM, "::ffff:127.0.0.1"), mappedUdp = boundIpv6(SOCK_DGRAM, "::ffff:127.0.0.1");
  struct Case {
    const char* what;
    uint8_t protocol;
    const char* file;
    uint16_t port;
  } cases[] = {
      {"tcp", IPPROTO_TCP, "/proc/net/tcp", listener.port()},
      {"udp", IPPROTO_UDP, "/proc/net/udp", udp.port()},
      {"tcp6 mapped", IPPROTO_TCP, "/proc/net/tcp6", mappedTcp.port()},
      {"udp6 mapped", IPPROTO_UDP, "/proc/net/udp6", mappedUdp.port()},
  };
  for (const Case& c : cases) {
    std::vector<SocketRow> fromNetlink, fromFile;
    int error = 0;
    ASSERT_TRUE(readNetlinkSockets(c.protocol, fromNetlink, error)) << c.what << " errno " << error;
    ASSERT_TRUE(readProcNetSockets(c.file, fromFile, error)) << c.what << " errno " << error;
    auto find = [&](const std::vector<SocketRow>& rows) -> const SocketRow* {
      for (const SocketRow& r : rows) {
        if (r.localPort == c.port && r.localAddr == INADDR_LOOPBACK) return &r;
      }
      return nullptr;
    };
    const SocketRow* a = find(fromNetlink);
    const SocketRow* b = find(fromFile);
    ASSERT_TRUE(a && b) << c.what;
    EXPECT_NE(a->inode, 0u) << c.what;
    EXPECT_EQ(a->inode, b->inode) << c.what;
    EXPECT_EQ(a->remoteAddr, b->remoteAddr) << c.what;
  }
}

// The probe asks the kernel for the one socket a packet would reach, so it
// must find listeners, connections and bound UDP sockets, and nothing for a
// port no socket holds, nor for a connected socket's port from another peer.
TEST_F(ProcessAttributionTest, ProbesFindTheSocketAPacketWouldReach) {
  Socket listener = bound(SOCK_STREAM);
  ASSERT_EQ(listen(listener.fd, 4), 0);
  Socket client(SOCK_STREAM);
  const sockaddr_in to = endpoint("127.0.0.1", listener.port());
  ASSERT_EQ(connect(client.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  Socket udp = bound(SOCK_DGRAM);
  Socket closedTcp = bound(SOCK_STREAM), closedUdp = bound(SOCK_DGRAM);
  const uint16_t freeTcp = closedTcp.port(), freeUdp = closedUdp.port();
  closedTcp.reset();
  closedUdp.reset();

  constexpr uint32_t kLo = INADDR_LOOPBACK;
  constexpr uint32_t kElsewhere = 0x0a090909;  // 10.9.9.9, not an address of this host
  constexpr auto kPresent = SocketPresence::kPresent, kAbsent = SocketPresence::kAbsent;
  struct Case {
    const char* what;
    SocketPresence (*probe)(const SocketEnds&);
    SocketEnds ends;
    SocketPresence expected;
  } cases[] = {
      {"tcp listener, any peer", probeTcpSocket, {kLo, listener.port(), kLo, 40999}, kPresent},
      {"tcp connection, its peer", probeTcpSocket, {kLo, client.port(), kLo, listener.port()}, kPresent},
      {"tcp connection's port, another peer", probeTcpSocket, {kLo, client.port(), kLo, 9}, kAbsent},
      {"tcp free port", probeTcpSocket, {kLo, freeTcp, kLo, 40999}, kAbsent},
      {"udp bound socket, any peer", probeUdpSocket, {kLo, udp.port(), kLo, 5555}, kPresent},
      {"udp bound socket, another local address", probeUdpSocket, {kElsewhere, udp.port(), kLo, 5555}, kAbsent},
      {"udp free port", probeUdpSocket, {kLo, freeUdp, kLo, 5555}, kAbsent},
  };
  for (const Case& c : cases) EXPECT_EQ(c.probe(c.ends), c.expected) << c.what;
}

// IPv6 sockets that take IPv4 get IPv4 packets, so the tables list them with
// their IPv4 ends and the probes find them; other IPv6 sockets stay out.
TEST_F(ProcessAttributionTest, Ipv6SocketsThatTakeIpv4AreListedAndProbed) {
  struct Case {
    const char *what, *address;
    int type, v6only;
    bool listed;
    uint32_t listedAs;
  } cases[] = {
      {"tcp [::], dual-stack", "::", SOCK_STREAM, 0, true, 0},
      {"tcp [::], IPv6 only", "::", SOCK_STREAM, 1, false, 0},
      {"tcp mapped", "::ffff:127.0.0.1", SOCK_STREAM, 0, true, INADDR_LOOPBACK},
      {"udp [::], dual-stack", "::", SOCK_DGRAM, 0, true, 0},
      {"udp ::1", "::1", SOCK_DGRAM, 0, false, 0},
  };
  for (const Case& c : cases) {
    Socket s = boundIpv6(c.type, c.address, c.v6only);
    if (s.fd < 0 && errno == EAFNOSUPPORT) GTEST_SKIP() << "no IPv6 on this host";
    ASSERT_GE(s.fd, 0) << c.what;
    const bool tcp = c.type == SOCK_STREAM;
    const EndpointTable read = tcp ? readTcpEndpoints() : readUdpEndpoints();
    const EndpointRow* row = nullptr;
    for (const EndpointRow& r : read.rows) row = r.localPort == s.port() ? &r : row;
    ASSERT_EQ(row != nullptr, c.listed) << c.what;
    if (row) {
      EXPECT_TRUE(row->localAddr == c.listedAs && row->pid == static_cast<uint32_t>(getpid()))
          << c.what << ": address " << row->localAddr << ", pid " << row->pid;
    }
    const SocketEnds ends{INADDR_LOOPBACK, s.port(), INADDR_LOOPBACK, 40999};
    EXPECT_EQ(tcp ? probeTcpSocket(ends) : probeUdpSocket(ends),
              c.listed ? SocketPresence::kPresent : SocketPresence::kAbsent)
        << c.what;
  }
}

Ip6Address v6(const char* text) {
  Ip6Address a;
  inet_pton(AF_INET6, text, a.bytes);
  return a;
}

// True IPv6 sockets are listed with their full ends in the IPv6 tables, the
// same through netlink and /proc, with this process as owner; the probes
// find the socket an IPv6 packet would reach; a look-up names it.
TEST_F(ProcessAttributionTest, Ipv6SocketsAreListedWithTheirEndsProbedAndNamed) {
  Socket listener = boundIpv6(SOCK_STREAM, "::1");
  if (listener.fd < 0 && errno == EAFNOSUPPORT) GTEST_SKIP() << "no IPv6 on this host";
  ASSERT_GE(listener.fd, 0);
  Socket client;
  client.fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_addr = in6addr_loopback;
  to.sin6_port = htons(listener.port());
  ASSERT_EQ(connect(client.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  Socket udp = boundIpv6(SOCK_DGRAM, "::1"), dual = boundIpv6(SOCK_DGRAM, "::"),
         mapped = boundIpv6(SOCK_DGRAM, "::ffff:127.0.0.1");
  Socket closedTcp = boundIpv6(SOCK_STREAM, "::1"), closedUdp = boundIpv6(SOCK_DGRAM, "::1");
  const uint16_t freeTcp = closedTcp.port(), freeUdp = closedUdp.port();
  closedTcp.reset();
  closedUdp.reset();

  const Ip6Address lo = v6("::1"), any = v6("::");
  constexpr auto kPresent = SocketPresence::kPresent, kAbsent = SocketPresence::kAbsent;
  const struct Case {
    const char* what;
    bool tcp;
    SocketEnds6 packet;        // as the local socket would see it
    SocketPresence presence;   // what the probe says
    bool listed;               // whether the socket's row is in the IPv6 table
    SocketEnds6 row;           // its ends
  } cases[] = {
      {"tcp listener", true, {lo, listener.port(), lo, 40999}, kPresent, true, {lo, listener.port(), any, 0}},
      {"tcp connection", true, {lo, client.port(), lo, listener.port()}, kPresent, true,
       {lo, client.port(), lo, listener.port()}},
      {"tcp connection's port, another peer", true, {lo, client.port(), lo, 9}, kAbsent, true,
       {lo, client.port(), lo, listener.port()}},
      {"tcp free port", true, {lo, freeTcp, lo, 40999}, kAbsent, false, {lo, freeTcp, any, 0}},
      {"udp on ::1", false, {lo, udp.port(), lo, 5555}, kPresent, true, {lo, udp.port(), any, 0}},
      {"udp on [::]", false, {lo, dual.port(), lo, 5555}, kPresent, true, {any, dual.port(), any, 0}},
      {"udp on a mapped address", false, {lo, mapped.port(), lo, 5555}, kAbsent, false,
       {v6("::ffff:127.0.0.1"), mapped.port(), any, 0}},
      {"udp free port", false, {lo, freeUdp, lo, 5555}, kAbsent, false, {lo, freeUdp, any, 0}},
  };
  const EndpointTable6 tcpRows = readTcp6Endpoints(), udpRows = readUdp6Endpoints();
  ASSERT_EQ(tcpRows.status, EndpointStatus::kOk);
  ASSERT_EQ(udpRows.status, EndpointStatus::kOk);
  for (const Case& c : cases) {
    EXPECT_EQ(c.tcp ? probeTcp6Socket(c.packet) : probeUdp6Socket(c.packet), c.presence) << c.what;
    const EndpointRow6* found = nullptr;
    for (const EndpointRow6& r : (c.tcp ? tcpRows : udpRows).rows) {
      if (r.localAddr == c.row.localAddr && r.localPort == c.row.localPort && r.remoteAddr == c.row.remoteAddr &&
          r.remotePort == c.row.remotePort) {
        found = &r;
      }
    }
    ASSERT_EQ(found != nullptr, c.listed) << c.what;
    if (found) EXPECT_EQ(found->pid, static_cast<uint32_t>(getpid())) << c.what;
    OwnerRef owner;
    (c.tcp ? lookupTcp6Socket : lookupUdp6Socket)(tick(), c.packet, owner);
    EXPECT_EQ(owner ? owner->processname : "", c.presence == kPresent ? OwnIdentity().processname : "") << c.what;
  }

  for (uint8_t protocol : {IPPROTO_TCP, IPPROTO_UDP}) {
    std::vector<SocketRow> fromNetlink, fromFile;
    int error = 0;
    ASSERT_TRUE(readNetlinkSockets6(protocol, fromNetlink, error)) << "errno " << error;
    ASSERT_TRUE(readProcNetSockets6(protocol == IPPROTO_TCP ? "/proc/net/tcp6" : "/proc/net/udp6", fromFile, error));
    const uint16_t port = protocol == IPPROTO_TCP ? client.port() : udp.port();
    auto inode = [port](const std::vector<SocketRow>& rows) {
      for (const SocketRow& r : rows) {
        if (r.localPort == port) return r.inode;
      }
      return uint64_t{0};
    };
    EXPECT_NE(inode(fromNetlink), 0u) << int(protocol);
    EXPECT_EQ(inode(fromNetlink), inode(fromFile)) << int(protocol);
  }
}

// After a probe that finds no socket, a lookup leaves the table as it was:
// no refresh ran, so even a stale entry stays until a refresh that is needed.
TEST_F(ProcessAttributionTest, AMissThatNoSocketWouldTakeDoesNotRefresh) {
  Socket gone = bound(SOCK_DGRAM), unheld = bound(SOCK_DGRAM);
  const uint16_t gonePort = gone.port(), freePort = unheld.port();
  unheld.reset();
  OwnerRef owner;
  lookupUdpProcess(tick(), SocketEnds{INADDR_LOOPBACK, gonePort, INADDR_LOOPBACK, 5555}, owner);
  ASSERT_TRUE(owner);
  gone.reset();

  OwnerRef none;
  lookupUdpProcess(tick(), SocketEnds{INADDR_LOOPBACK, freePort, INADDR_LOOPBACK, 5555}, none);
  EXPECT_FALSE(none);
  bool staleKept = false;
  for (const ProcessEntry& e : copyUdpProcessIDs()) staleKept |= e.port == gonePort;
  EXPECT_TRUE(staleKept) << "a refresh ran for a port no socket holds";

  // A socket the table has not seen yet is found through a refresh.
  Socket udp = bound(SOCK_DGRAM);
  lookupUdpProcess(tick(), SocketEnds{INADDR_LOOPBACK, udp.port(), INADDR_LOOPBACK, 5555}, owner);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->processname, OwnIdentity().processname);
  for (const ProcessEntry& e : copyUdpProcessIDs()) EXPECT_NE(e.port, gonePort) << "the refresh prunes";
}

}  // namespace
