// Owners of the commonest exchanges, with the monitor as a process watching
// a veth link: short UDP queries and TCP requests of this process whose
// sockets close at once, remote clients of local servers (run as another
// program and user) on [::] without v6only and on 0.0.0.0 (over IPv6: on
// [::] with and without v6only), and long-lived connections. The peer
// answers at once. With owner events every record of every kind names its
// owner, over either family; without them the socket tables still name the
// owners of the servers and of the long-lived sockets.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/owner_events.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

// The link's two ends in one family, and the names of the two kinds of
// local server reached over it.
struct Family {
  const char* near;  // the monitor's side
  const char* far;
  const char* servers[2];
  const char* serverModes[2];  // as the server program takes them
};
const Family kIpv4{"10.201.9.1", "10.201.9.2", {"server on [::]", "server on 0.0.0.0"}, {"6", "4"}};
const Family kIpv6{"fd20:201:9::1", "fd20:201:9::2", {"server on [::]", "server on [::] v6only"}, {"6", "6only"}};

constexpr int kEach = 20;
constexpr uint16_t kDualStackPort = 5101, kAnyPort = 5102, kEchoPort = 5103, kKeepPort = 5104;

sockaddr_in6 endpoint6(const char* address, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, address, &a.sin6_addr);
  return a;
}

// The socket address of `address` (IPv4 or IPv6 text) and `port`; returns its length.
socklen_t endpointOf(const char* address, uint16_t port, sockaddr_storage& out) {
  out = {};
  if (strchr(address, ':') == nullptr) {
    const sockaddr_in a = endpoint(address, port);
    memcpy(&out, &a, sizeof a);
    return sizeof a;
  }
  const sockaddr_in6 a = endpoint6(address, port);
  memcpy(&out, &a, sizeof a);
  return sizeof a;
}

uint16_t portOf(int fd) {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
}

// A socket of `address`'s family bound to it (an IPv6 one for IPv6 only).
int boundTo(int type, const char* address, uint16_t port) {
  sockaddr_storage at;
  const socklen_t length = endpointOf(address, port, at);
  const int fd = socket(at.ss_family, type | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd < 0) return -1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (at.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A new TCP connection to `to`:`port`, -1 when it fails.
int connectTo(const char* to, uint16_t port) {
  sockaddr_storage at;
  const socklen_t length = endpointOf(to, port, at);
  const int fd = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request and its answer over a new TCP connection; the local port, 0 on failure.
uint16_t tcpExchange(const char* to, uint16_t port) {
  const int fd = connectTo(to, port);
  char answer[4];
  uint16_t local = 0;
  if (fd >= 0 && send(fd, "q", 1, 0) == 1 && recv(fd, answer, sizeof answer, 0) == 1) local = portOf(fd);
  if (fd >= 0) close(fd);
  return local;
}

// One UDP query and its answer; `connected` sends through connect and send.
uint16_t udpExchange(const char* to, uint16_t port, bool connected) {
  sockaddr_storage at;
  const socklen_t atLength = endpointOf(to, port, at);
  const int fd = socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto* where = reinterpret_cast<const sockaddr*>(&at);
  const bool sent = connected ? connect(fd, where, atLength) == 0 && send(fd, "q", 1, 0) == 1
                              : sendto(fd, "q", 1, 0, where, atLength) == 1;
  pollfd p = {fd, POLLIN, 0};
  char answer[4];
  const uint16_t local = sent && poll(&p, 1, 2000) == 1 && recv(fd, answer, sizeof answer, 0) == 1 ? portOf(fd) : 0;
  close(fd);
  return local;
}

// The peer: answers every UDP query on kEchoPort and every TCP request on
// kEchoPort at once; on kKeepPort it answers each byte until the client closes.
void answerAll(const char* far, const std::atomic<bool>& done, std::atomic<bool>& ready) {
  const int udp = boundTo(SOCK_DGRAM, far, kEchoPort);
  int listeners[2];
  for (int i = 0; i < 2; ++i) {
    listeners[i] = boundTo(SOCK_STREAM, far, i == 0 ? kEchoPort : kKeepPort);
    listen(listeners[i], 64);
  }
  ready = true;
  std::vector<pollfd> waits = {{udp, POLLIN, 0}, {listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}};
  char buf[16];
  while (!done) {
    if (poll(waits.data(), waits.size(), 50) <= 0) continue;
    for (size_t i = 0; i < waits.size(); ++i) {
      if (!(waits[i].revents & (POLLIN | POLLHUP))) continue;
      if (i == 0) {
        sockaddr_storage from = {};
        socklen_t length = sizeof from;
        if (recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
          sendto(udp, "a", 1, 0, reinterpret_cast<const sockaddr*>(&from), length);
        }
      } else if (i <= 2) {
        const int conn = accept(waits[i].fd, nullptr, nullptr);
        if (conn >= 0) waits.push_back({conn, POLLIN, 0});
      } else if (recv(waits[i].fd, buf, sizeof buf, 0) > 0) {
        send(waits[i].fd, "a", 1, 0);
      } else {
        waits[i].events = 0;  // closed by the client
      }
    }
  }
  for (const pollfd& p : waits) close(p.fd);
}

struct Owner {
  std::string processname, user, domain;
  bool operator==(const Owner&) const = default;
};

// The owner the monitor names for process `pid` run as `user` on this host.
Owner ownerOf(pid_t pid, const std::string& user) {
  std::error_code error;
  std::string name = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
  if (name.size() > 30) name.erase(0, name.size() - 30);
  return Owner{name, user, OwnIdentity().domain};
}

// A record the mix must have: one direction of one exchange.
struct Expected {
  const char* kind;
  int proto;
  std::string src, dst;
  int srcport, dstport;
  Owner owner;
};

void both(std::vector<Expected>& out, const char* kind, int proto, const char* nearAddr, uint16_t near,
          const char* farAddr, uint16_t far, const Owner& owner) {
  out.push_back({kind, proto, nearAddr, farAddr, near, far, owner});
  out.push_back({kind, proto, farAddr, nearAddr, far, near, owner});
}

// Runs the mix over family `fam` with owner events on or off and returns,
// per kind, how many records carried the right owner and a description of
// each that did not.
void runMix(const Family& fam, bool events, std::map<std::string, int>& right,
            std::map<std::string, std::string>& wrong) {
  Netns watched("vt-own-a");
  Netns peer("vt-own-b");
  const std::string nearEnd = linkNamespaces(watched, "10.201.9.1/24", peer, "10.201.9.2/24");
  if (&fam == &kIpv6) {
    std::string farEnd = nearEnd;
    farEnd.back() = 'b';
    ASSERT_EQ(watched.exec("ip -6 addr add " + std::string(fam.near) + "/64 dev " + nearEnd + " nodad"), 0);
    ASSERT_EQ(peer.exec("ip -6 addr add " + std::string(fam.far) + "/64 dev " + farEnd + " nodad"), 0);
  }
  const char* kNear = fam.near;
  const char* kFar = fam.far;
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, watched,
                           std::string("{\"listenerIP\": \"\", \"receiverIP\": \"0.0.0.0\", \"httpPort\": 17911, "
                                       "\"user\": \"admin\", \"pass\": \"x\", \"ownerEvents\": ") +
                               (events ? "true" : "false") + "}",
                           "IO controls set!\n"))
      << monitor.output();
  const char* line = events ? "Socket owners from kernel events, else from the socket tables\n"
                            : "ownerEvents is false: owners come from the socket tables only\n";
  ASSERT_NE(monitor.output().find(line), std::string::npos) << monitor.output();

  // The local servers: another program, run as another user, started after
  // the monitor.
  const char* server =
      "import socket,sys\n"
      "six = sys.argv[1] != '4'\n"
      "s = socket.socket(socket.AF_INET6 if six else socket.AF_INET)\n"
      "if six: s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1 if sys.argv[1] == '6only' else 0)\n"
      "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
      "s.bind(('::' if six else '0.0.0.0', int(sys.argv[2]))); s.listen(64); print('ready', flush=True)\n"
      "while True:\n"
      "  c, _ = s.accept(); c.recv(16); c.sendall(b'a'); c.close()\n";
  ChildProcess servers[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(servers[i].start({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3",
                                  "-c", server, fam.serverModes[i], std::to_string(i == 0 ? kDualStackPort : kAnyPort)},
                                 dir.path, dir.file("server" + std::to_string(i) + ".log"), watched.name));
    ASSERT_TRUE(waitFor([&] { return servers[i].output() == "ready\n"; }, milliseconds(5000))) << servers[i].output();
  }
  const OwnIdentity own;
  const Owner self{own.processname, own.user, own.domain};
  const Owner python = ownerOf(servers[0].pid, "nobody");

  std::atomic<bool> peerDone{false}, peerReady{false};
  std::thread answering([&] {
    if (enterNamespace(peer)) answerAll(kFar, peerDone, peerReady);
  });
  std::vector<int> kept;
  struct Cleanup {
    std::atomic<bool>& done;
    std::thread& thread;
    std::vector<int>& fds;
    ~Cleanup() {
      for (int fd : fds) close(fd);
      done = true;
      thread.join();
    }
  } cleanup{peerDone, answering, kept};
  ASSERT_TRUE(waitFor([&] { return peerReady.load(); }, milliseconds(5000)));

  std::vector<Expected> expected;
  inNamespace(watched, [&] {
    for (int i = 0; i < kEach; ++i) {
      const int fd = connectTo(kFar, kKeepPort);
      ASSERT_GE(fd, 0);
      kept.push_back(fd);
      both(expected, "long-lived", 6, kNear, portOf(fd), kFar, kKeepPort, self);
    }
    for (int i = 0; i < kEach; ++i) {
      const uint16_t udp = udpExchange(kFar, kEchoPort, i % 2 == 1);
      ASSERT_NE(udp, 0) << "udp query " << i;
      both(expected, "udp query", 17, kNear, udp, kFar, kEchoPort, self);
      const uint16_t tcp = tcpExchange(kFar, kEchoPort);
      ASSERT_NE(tcp, 0) << "tcp request " << i;
      both(expected, "tcp request", 6, kNear, tcp, kFar, kEchoPort, self);
      char answer[4];
      ASSERT_EQ(send(kept[i], "q", 1, 0), 1);
      ASSERT_EQ(recv(kept[i], answer, sizeof answer, 0), 1);
    }
  });
  inNamespace(peer, [&] {
    for (int i = 0; i < kEach; ++i) {
      for (uint16_t port : {kDualStackPort, kAnyPort}) {
        const uint16_t client = tcpExchange(kNear, port);
        ASSERT_NE(client, 0) << "client of port " << port;
        both(expected, fam.servers[port == kDualStackPort ? 0 : 1], 6, kNear, port, kFar, client, python);
      }
    }
  });

  // Every record is open still (none has been idle 15 s): read them all.
  Json::Value flows;
  const auto isOf = [](const Json::Value& f, const Expected& e) {
    return f["proto"].asInt() == e.proto && f["srcip"].asString() == e.src && f["dstip"].asString() == e.dst &&
           f["srcport"].asInt() == e.srcport && f["dstport"].asInt() == e.dstport;
  };
  const auto readFlows = [&] {
    std::string body;
    watched.exec("curl -s --max-time 5 --digest -u admin:x 'http://127.0.0.1:17911/data/?requestedData=flows'", &body);
    Json::Value doc;
    std::istringstream in(body);
    std::string errors;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) return false;
    flows = doc["flows"];
    // Owners the look-up worker finds arrive a moment after their record:
    // wait for those of the sockets that stay open, which every mode names.
    for (const Json::Value& f : flows) {
      const int local = f["srcip"].asString() == kNear ? f["srcport"].asInt() : f["dstport"].asInt();
      const int remote = f["srcip"].asString() == kNear ? f["dstport"].asInt() : f["srcport"].asInt();
      const bool stays = local == kDualStackPort || local == kAnyPort || remote == kKeepPort;
      if (stays && f["processname"].asString().empty()) return false;
    }
    // The link's own traffic (neighbour discovery) has records too: count
    // only the expected ones.
    return std::all_of(expected.begin(), expected.end(), [&](const Expected& e) {
      return std::any_of(flows.begin(), flows.end(), [&](const Json::Value& f) { return isOf(f, e); });
    });
  };
  EXPECT_TRUE(waitFor(readFlows, milliseconds(10000))) << flows.size() << " of " << expected.size();
  for (const Expected& e : expected) {
    Owner got{"(no record)", "", ""};
    for (const Json::Value& f : flows) {
      if (isOf(f, e)) got = Owner{f["processname"].asString(), f["user"].asString(), f["domain"].asString()};
    }
    if (got == e.owner) {
      ++right[e.kind];
    } else {
      wrong[e.kind] += "\n  " + e.src + ":" + std::to_string(e.srcport) + " > " + e.dst + ":" +
                       std::to_string(e.dstport) + " named '" + got.processname + "' " + got.user + "@" + got.domain;
    }
  }
}

TEST(OwnerEvents, EveryRecordOfEveryKindNamesItsOwner) {
  REQUIRE_ROOT();
  for (const Family* fam : {&kIpv4, &kIpv6}) {
    std::map<std::string, int> right;
    std::map<std::string, std::string> wrong;
    runMix(*fam, true, right, wrong);
    for (const char* kind : {"udp query", "tcp request", fam->servers[0], fam->servers[1], "long-lived"}) {
      EXPECT_EQ(right[kind], 2 * kEach) << fam->near << " " << kind << ":" << wrong[kind];
    }
  }
}

// Without events the socket tables name only sockets still open when their
// first packet is decoded: short exchanges are not required to be named. A
// server on [::] that takes IPv4 is named through its IPv6 socket rows, and
// IPv6 flows through the IPv6 rows.
TEST(OwnerEvents, WithoutEventsSocketTablesNameTheSocketsThatStayOpen) {
  REQUIRE_ROOT();
  for (const Family* fam : {&kIpv4, &kIpv6}) {
    std::map<std::string, int> right;
    std::map<std::string, std::string> wrong;
    runMix(*fam, false, right, wrong);
    for (const char* kind : {fam->servers[0], fam->servers[1], "long-lived"}) {
      EXPECT_EQ(right[kind], 2 * kEach) << fam->near << " " << kind << ":" << wrong[kind];
    }
  }
}

// The kernel's events for IPv6 sockets, read from the event source itself:
// each hook's IPv6 form reports the socket's IPv6 ends, and a dual-stack
// socket on [::] is reported for IPv4 as well, as before.

int socket6(int type, const char* address, uint16_t port, int v6only) {
  const int fd = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
  const sockaddr_in6 at = endpoint6(address, port);
  if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0 ||
      (address[0] != 0 && bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) ||
      (type == SOCK_STREAM && address[0] != 0 && listen(fd, 8) != 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

TEST(OwnerEvents, KernelReportsIpv6SocketsWithTheirEnds) {
  REQUIRE_ROOT();
  Netns ns("vt-own6");
  struct Want {
    const char* what;
    int family, proto;
    std::string local;
    uint16_t localPort;
    std::string remote;
    uint16_t remotePort;
  };
  std::vector<Want> wants;
  std::vector<OwnerEvent> events;
  uint16_t v6onlyPort = 0;
  const auto lineOf = [](const Want& w) {
    return "\n  " + std::to_string(w.family) + "/" + std::to_string(w.proto) + " " + w.local + ":" +
           std::to_string(w.localPort) + " " + w.remote + ":" + std::to_string(w.remotePort) + " pid " +
           std::to_string(getpid());
  };
  // The owner events so far, one line each as lineOf writes them.
  const auto seenText = [&events] {
    std::string seen;
    for (const OwnerEvent& e : events) {
      if (e.kind != OwnerEventKind::kOwned) continue;
      char local[INET6_ADDRSTRLEN], remote[INET6_ADDRSTRLEN];
      if (e.family == 6) {
        inet_ntop(AF_INET6, e.localAddr6.bytes, local, sizeof local);
        inet_ntop(AF_INET6, e.remoteAddr6.bytes, remote, sizeof remote);
      } else {
        const uint32_t l = htonl(e.localAddr), r = htonl(e.remoteAddr);
        inet_ntop(AF_INET, &l, local, sizeof local);
        inet_ntop(AF_INET, &r, remote, sizeof remote);
      }
      seen += "\n  " + std::to_string(e.family) + "/" + std::to_string(e.protocol) + " " + local + ":" +
              std::to_string(e.localPort) + " " + remote + ":" + std::to_string(e.remotePort) + " pid " +
              std::to_string(e.pid);
    }
    return seen;
  };
  const auto allSeen = [&] {
    const std::string seen = seenText();
    for (const Want& w : wants) {
      if (seen.find(lineOf(w)) == std::string::npos) return false;
    }
    return true;
  };
  inNamespace(ns, [&] {
    const OwnerEventsOpen opened = openOwnerEvents();
    ASSERT_EQ(opened.error, 0) << opened.reason;
    std::vector<int> fds;
    const auto keep = [&fds](int fd) {
      fds.push_back(fd);
      return fd;
    };
    const int listener = keep(socket6(SOCK_STREAM, "::1", 0, 1));
    const int dual = keep(socket6(SOCK_STREAM, "::", 0, 0));
    const int only6 = keep(socket6(SOCK_STREAM, "::", 0, 1));
    const int server = keep(socket6(SOCK_DGRAM, "::1", 0, 1));
    const int server4 = keep(boundSocket(SOCK_DGRAM, "127.0.0.1"));
    ASSERT_TRUE(listener >= 0 && dual >= 0 && only6 >= 0 && server >= 0 && server4 >= 0);
    const uint16_t lport = localPort(listener), uport = localPort(server), u4port = localPort(server4);
    v6onlyPort = localPort(only6);

    const int client = keep(socket6(SOCK_STREAM, "", 0, 0));
    const sockaddr_in6 toListener = endpoint6("::1", lport);
    ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&toListener), sizeof toListener), 0);
    const int accepted = keep(accept(listener, nullptr, nullptr));
    ASSERT_GE(accepted, 0);
    const int sender = keep(socket6(SOCK_DGRAM, "", 0, 0));
    const sockaddr_in6 toServer = endpoint6("::1", uport), toServer4 = endpoint6("::ffff:127.0.0.1", u4port);
    ASSERT_EQ(sendto(sender, "q", 1, 0, reinterpret_cast<const sockaddr*>(&toServer), sizeof toServer), 1);
    const int sender4 = keep(socket6(SOCK_DGRAM, "", 0, 0));
    ASSERT_EQ(sendto(sender4, "q", 1, 0, reinterpret_cast<const sockaddr*>(&toServer4), sizeof toServer4), 1);
    const int connected = keep(socket6(SOCK_DGRAM, "", 0, 0));
    ASSERT_EQ(connect(connected, reinterpret_cast<const sockaddr*>(&toServer), sizeof toServer), 0);
    ASSERT_EQ(send(connected, "q", 1, 0), 1);

    wants = {
        {"listener on ::1", 6, 6, "::1", lport, "::", 0},
        {"dual-stack listener, IPv6", 6, 6, "::", localPort(dual), "::", 0},
        {"dual-stack listener, IPv4", 4, 6, "0.0.0.0", localPort(dual), "0.0.0.0", 0},
        {"IPv6-only listener", 6, 6, "::", v6onlyPort, "::", 0},
        {"connect", 6, 6, "::1", localPort(client), "::1", lport},
        {"accept", 6, 6, "::1", lport, "::1", localPort(client)},
        {"udp bind", 6, 17, "::1", uport, "::", 0},
        {"udp sendto", 6, 17, "::", localPort(sender), "::1", uport},
        {"udp sendto a mapped address", 4, 17, "0.0.0.0", localPort(sender4), "127.0.0.1", u4port},
        {"connected udp", 6, 17, "::1", localPort(connected), "::1", uport},
    };
    const uint64_t until = currentTimeMillis() + 2000;
    while (!allSeen() && currentTimeMillis() < until) readOwnerEvents(events, 50);
    closeOwnerEvents();
    for (int fd : fds) close(fd);
  });
  for (const OwnerEvent& e : events) {
    EXPECT_FALSE(e.kind == OwnerEventKind::kOwned && e.family == 4 && e.localPort == v6onlyPort)
        << "an IPv6-only listener reported for IPv4";
  }
  const std::string seen = seenText();
  for (const Want& w : wants) EXPECT_NE(seen.find(lineOf(w)), std::string::npos) << w.what << " not among" << seen;
}

}  // namespace
