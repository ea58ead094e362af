#include "process/owner_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "process/owner_events.h"

namespace {

constexpr uint64_t kNs = 4026531840, kOtherNs = 4026532999;
constexpr uint32_t kHost = 0x0a000001, kPeer = 0x0a000002;
constexpr uint64_t kT = 1700000000000;

OwnerEvent owned(uint64_t cookie, uint32_t pid, uint8_t proto, uint32_t la, uint16_t lp, uint32_t ra, uint16_t rp,
                 uint64_t netns = kNs) {
  OwnerEvent e;
  e.cookie = cookie;
  e.pid = pid;
  e.protocol = proto;
  e.localAddr = la;
  e.localPort = lp;
  e.remoteAddr = ra;
  e.remotePort = rp;
  e.netns = netns;
  return e;
}

OwnerEvent closed(uint64_t cookie) {
  OwnerEvent e;
  e.kind = OwnerEventKind::kClosed;
  e.cookie = cookie;
  return e;
}

// Names each process "p<pid>".
OwnerRef byPid(uint32_t pid, uint32_t, const char*, uint64_t) { return makeOwner("p" + std::to_string(pid), "u", "d"); }

std::string nameFor(const OwnerTable& t, uint8_t proto, const SocketEnds& ends) {
  OwnerRef owner;
  std::lock_guard<std::mutex> lock(ownerTableMutex);
  return findOwner(t, proto, ends, owner) ? owner->processname : "";
}

TEST(OwnerTable, EventStreamsAndTheirTraps) {
  const SocketEnds out{kHost, 40000, kPeer, 53};
  struct Step {
    std::vector<OwnerEvent> events;
    uint64_t after;  // ms after kT at which the batch applies, then expiry runs
  };
  const struct Case {
    const char* what;
    std::vector<Step> steps;
    uint8_t proto;
    SocketEnds ends;
    const char* want;
  } cases[] = {
      {"exact ends", {{{owned(1, 10, 6, kHost, 40000, kPeer, 53)}, 0}}, 6, out, "p10"},
      {"other protocol misses", {{{owned(1, 10, 6, kHost, 40000, kPeer, 53)}, 0}}, 17, out, ""},
      {"port 0 at connect time is not kept",
       {{{owned(1, 10, 6, kHost, 0, kPeer, 53), owned(2, 11, 6, 0, 0, 0, 0)}, 0}}, 6, {kHost, 0, kPeer, 53}, ""},
      {"unconnected UDP on 0.0.0.0 matches any local address", {{{owned(1, 10, 17, 0, 40000, kPeer, 53)}, 0}}, 17,
       out, "p10"},
      {"listener matches any peer", {{{owned(1, 10, 6, 0, 40000, 0, 0)}, 0}}, 6, out, "p10"},
      {"exact ends win over a listener",
       {{{owned(1, 10, 6, 0, 40000, 0, 0), owned(2, 11, 6, kHost, 40000, kPeer, 53)}, 0}}, 6, out, "p11"},
      {"pid 0 takes its socket's owner",
       {{{owned(1, 10, 6, 0, 40001, 0, 0)}, 0}, {{owned(1, 0, 6, kHost, 40000, kPeer, 53)}, 5}}, 6, out, "p10"},
      {"pid 0 of an unknown socket names nobody", {{{owned(1, 0, 6, kHost, 40000, kPeer, 53)}, 0}}, 6, out, ""},
      {"another namespace is ignored", {{{owned(1, 10, 6, kHost, 40000, kPeer, 53, kOtherNs)}, 0}}, 6, out, ""},
      {"kept within the grace period after close",
       {{{owned(1, 10, 17, 0, 40000, kPeer, 53), closed(1)}, 0}, {{}, kOwnerGraceMillis - 1}}, 17, out, "p10"},
      {"gone after the grace period",
       {{{owned(1, 10, 17, 0, 40000, kPeer, 53), closed(1)}, 0}, {{}, kOwnerGraceMillis}}, 17, out, ""},
      {"reused ends: newest wins, the old socket's close leaves them",
       {{{owned(1, 10, 6, kHost, 40000, kPeer, 53), owned(2, 20, 6, kHost, 40000, kPeer, 53), closed(1)}, 0},
        {{}, kOwnerGraceMillis + 1}},
       6, out, "p20"},
      {"lost closes start every grace period",
       {{{owned(1, 10, 6, kHost, 40000, kPeer, 53)}, 0}, {{OwnerEvent{OwnerEventKind::kClosesLost}}, 1},
        {{}, kOwnerGraceMillis + 1}},
       6, out, ""},
  };
  for (const Case& c : cases) {
    OwnerTable table;
    for (const Step& s : c.steps) {
      applyOwnerEvents(table, s.events, kNs, kT + s.after, byPid);
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(table, kT + s.after);
    }
    EXPECT_EQ(nameFor(table, c.proto, c.ends), c.want) << c.what;
  }
}

Ip6Address v6(const char* text) {
  Ip6Address a;
  if (inet_pton(AF_INET6, text, a.bytes) != 1) ADD_FAILURE() << "not an IPv6 address: " << text;
  return a;
}

OwnerEvent owned6(uint64_t cookie, uint32_t pid, uint8_t proto, const char* la, uint16_t lp, const char* ra,
                  uint16_t rp) {
  OwnerEvent e = owned(cookie, pid, proto, 0, lp, 0, rp);
  e.family = 6;
  e.localAddr6 = v6(la);
  e.remoteAddr6 = v6(ra);
  return e;
}

// IPv6 ends follow the IPv4 rules, and the families never name each other's
// flows even where the numbers would match.
TEST(OwnerTable, Ipv6EndsFollowTheSameRules) {
  const SocketEnds6 out{v6("2001:db8::1"), 40000, v6("2001:db8::2"), 53};
  struct Step {
    std::vector<OwnerEvent> events;
    uint64_t after;
  };
  const struct Case {
    const char* what;
    std::vector<Step> steps;
    uint8_t proto;
    SocketEnds6 ends;
    const char* want;
  } cases[] = {
      {"exact ends", {{{owned6(1, 10, 6, "2001:db8::1", 40000, "2001:db8::2", 53)}, 0}}, 6, out, "p10"},
      {"another peer misses a connection",
       {{{owned6(1, 10, 6, "2001:db8::1", 40000, "2001:db8::3", 53)}, 0}}, 6, out, ""},
      {"unspecified local address is any local", {{{owned6(1, 10, 17, "::", 40000, "2001:db8::2", 53)}, 0}}, 17,
       out, "p10"},
      {"listener on :: matches any peer", {{{owned6(1, 10, 6, "::", 40000, "::", 0)}, 0}}, 6, out, "p10"},
      {"listener on another local address misses",
       {{{owned6(1, 10, 6, "2001:db8::9", 40000, "::", 0)}, 0}}, 6, out, ""},
      {"link-local ends", {{{owned6(1, 10, 17, "fe80::1", 546, "fe80::2", 547)}, 0}}, 17,
       {v6("fe80::1"), 546, v6("fe80::2"), 547}, "p10"},
      {"an IPv4 event does not name an IPv6 flow", {{{owned(1, 10, 6, 0, 40000, 0, 0)}, 0}}, 6, out, ""},
      {"kept within the grace period after close",
       {{{owned6(1, 10, 17, "::", 40000, "::", 0), closed(1)}, 0}, {{}, kOwnerGraceMillis - 1}}, 17, out, "p10"},
      {"gone after the grace period",
       {{{owned6(1, 10, 17, "::", 40000, "::", 0), closed(1)}, 0}, {{}, kOwnerGraceMillis}}, 17, out, ""},
      {"reused by another program: newest wins, the old close leaves it",
       {{{owned6(1, 10, 6, "2001:db8::1", 40000, "2001:db8::2", 53),
          owned6(2, 20, 6, "2001:db8::1", 40000, "2001:db8::2", 53), closed(1)},
         0},
        {{}, kOwnerGraceMillis + 1}},
       6, out, "p20"},
      {"pid 0 takes its socket's owner, across families",
       {{{owned(1, 10, 6, 0, 40001, 0, 0)}, 0}, {{owned6(1, 0, 6, "2001:db8::1", 40000, "2001:db8::2", 53)}, 5}}, 6,
       out, "p10"},
  };
  for (const Case& c : cases) {
    OwnerTable table;
    for (const Step& s : c.steps) {
      applyOwnerEvents(table, s.events, kNs, kT + s.after, byPid);
      std::lock_guard<std::mutex> lock(ownerTableMutex);
      expireOwners(table, kT + s.after);
    }
    OwnerRef owner;
    std::lock_guard<std::mutex> lock(ownerTableMutex);
    EXPECT_EQ(findOwner(table, c.proto, c.ends, owner) ? owner->processname : "", c.want) << c.what;
  }
  OwnerTable table;
  applyOwnerEvents(table, {owned6(1, 10, 6, "::", 40000, "::", 0)}, kNs, kT, byPid);
  EXPECT_EQ(nameFor(table, 6, SocketEnds{kHost, 40000, kPeer, 53}), "") << "an IPv6 listener named an IPv4 flow";
}

TEST(OwnerTable, StaysBoundedAndDropsClosedSocketsFirst) {
  OwnerTable table;
  std::lock_guard<std::mutex> lock(ownerTableMutex);
  const OwnerRef a = makeOwner("a", "", ""), b = makeOwner("b", "", "");
  recordOwned(table, OwnerKey{kHost, kPeer, 1, 53, 17}, 1, a, kT);  // stays open, oldest
  for (uint32_t i = 0; i < kOwnerTableMax + 10; ++i) {
    recordOwned(table, OwnerKey{kHost, kPeer + i, 2, 53, 17}, 100 + i, b, kT);
    if (i < kOwnerTableMax / 2) recordClosed(table, 100 + i, kT);
  }
  for (uint32_t i = 0; i < kOwnerTableMax + 10; ++i) {
    OwnerKey6 key{v6("2001:db8::1"), v6("2001:db8::2"), 2, static_cast<uint16_t>(i), 17};
    key.remoteAddr.bytes[12] = static_cast<uint8_t>(i >> 8);
    recordOwned(table, key, 200000 + i, b, kT);
    recordClosed(table, 200000 + i, kT);
  }
  EXPECT_LE(table.ends.size(), kOwnerTableMax);
  EXPECT_LE(table.ends6.size(), kOwnerTableMax);
  EXPECT_LE(table.sockets.size(), kOwnerTableMax);
  OwnerRef found;
  EXPECT_TRUE(findOwner(table, 17, SocketEnds{kHost, 1, kPeer, 53}, found)) << "open socket dropped before closed ones";
}

TEST(OwnerTable, ProcessOwnerIsReadOnceAndNamedFromTheEventWhenGone) {
  ProcessOwnerCache cache;
  int reads = 0;
  const auto running = [&reads](uint32_t, bool) {
    ++reads;
    ProcessInfo info;
    info.opened = info.imagePathRead = true;
    info.imagePath = "/usr/lib/a/very/long/path/to/the/resolver-daemon";
    info.account = AccountLookup::kFound;
    info.accountName = "alice";
    info.accountDomain = "host1";
    return info;
  };
  const auto gone = [](uint32_t, bool) { return ProcessInfo{}; };
  const auto account = [](uint32_t uid) {
    ProcessInfo info;
    info.account = uid == 1000 ? AccountLookup::kFound : AccountLookup::kNoneMapped;
    info.accountName = "bob";
    info.accountDomain = "host1";
    return info;
  };
  const ControlGroupNames web{"web.service", ""}, box{"docker-4f1c.scope", "4f1c0a9e2b7d"};
  const struct {
    const char* what;
    uint32_t pid, uid;
    const char* comm;
    uint64_t cgroup;
    const ControlGroupNames* group;
    uint64_t at;
    bool running;
    FlowOwner want;
    int reads;
  } cases[] = {
      {"read", 7, 0, "resolver", 0, nullptr, kT, true, {"ng/path/to/the/resolver-daemon", "alice", "host1"}, 1},
      {"cached", 7, 0, "resolver", 0, nullptr, kT + 1, true, {"ng/path/to/the/resolver-daemon", "alice", "host1"}, 1},
      {"another command under the pid", 7, 0, "other", 0, nullptr, kT + 2, true,
       {"ng/path/to/the/resolver-daemon", "alice", "host1"}, 2},
      {"cache too old", 7, 0, "resolver", 0, nullptr, kT + kProcessOwnerCacheMillis, true,
       {"ng/path/to/the/resolver-daemon", "alice", "host1"}, 3},
      {"ended: command and account of the uid", 8, 1000, "dig", 0, nullptr, kT, false, {"dig", "bob", "host1"}, 3},
      {"ended, unmapped uid", 9, 4242, "dig", 0, nullptr, kT, false, {"dig", "NONE_MAPPED", ""}, 3},
      {"in a service", 10, 0, "web", 41, &web, kT, true,
       {"ng/path/to/the/resolver-daemon", "alice", "host1", "web.service", ""}, 4},
      {"moved to a container: read again", 10, 0, "web", 42, &box, kT + 1, true,
       {"ng/path/to/the/resolver-daemon", "alice", "host1", "docker-4f1c.scope", "4f1c0a9e2b7d"}, 5},
      {"ended, its cgroup still known", 11, 1000, "dig", 41, &web, kT, false, {"dig", "bob", "host1", "web.service"}, 5},
  };
  for (const auto& c : cases) {
    const OwnerRef o = cachedProcessOwner(cache, c.pid, c.uid, c.comm, c.cgroup, c.group, c.at,
                                          c.running ? std::function<ProcessInfo(uint32_t, bool)>(running) : gone, account);
    ASSERT_TRUE(o) << c.what;
    EXPECT_EQ(o->processname, c.want.processname) << c.what;
    EXPECT_EQ(o->user, c.want.user) << c.what;
    EXPECT_EQ(o->domain, c.want.domain) << c.what;
    EXPECT_EQ(o->service, c.want.service) << c.what;
    EXPECT_EQ(o->container, c.want.container) << c.what;
    EXPECT_EQ(reads, c.reads) << c.what;
  }
}

}  // namespace
