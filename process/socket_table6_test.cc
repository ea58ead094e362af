#include "process/socket_table6.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

Ip6Address v6(const char* text) {
  Ip6Address a;
  if (inet_pton(AF_INET6, text, a.bytes) != 1) ADD_FAILURE() << "not an IPv6 address: " << text;
  return a;
}

EndpointRow6 row(const char* local, uint16_t lport, const char* remote, uint16_t rport, uint32_t pid) {
  return EndpointRow6{v6(local), v6(remote), lport, rport, pid};
}

Endpoint6Reader readOf(std::vector<EndpointRow6> rows, std::vector<uint16_t>* wanted = nullptr) {
  return [rows, wanted](const OwnerFilter& ownerWanted) {
    if (wanted) {
      for (const EndpointRow6& r : rows) {
        if (ownerWanted(r.localPort)) wanted->push_back(r.localPort);
      }
    }
    EndpointTable6 t;
    t.rows = rows;
    return t;
  };
}

// Names each process "proc<pid>" and counts the reads.
struct FakeIdentity {
  std::vector<uint32_t> asked;
  IdentityReader reader() {
    return [this](uint32_t pid) {
      asked.push_back(pid);
      const std::string user = "user";
      return makeOwner("proc" + std::to_string(pid), user, "HOST1");
    };
  }
};

std::string nameFor(const Socket6Table& table, const char* local, uint16_t lport, const char* remote,
                    uint16_t rport) {
  OwnerRef owner;
  std::lock_guard<std::mutex> lock(socket6TableMutex);
  return findSocket6Owner(table, 6, SocketEnds6{v6(local), lport, v6(remote), rport}, owner) ? owner->processname
                                                                                           : "";
}

TEST(Socket6Table, RowsNameThePacketsTheirSocketsWouldTake) {
  Socket6Table table;
  FakeIdentity identity;
  refreshSocket6Table(table, 6, 1000, 0,
                      readOf({row("::", 80, "::", 0, 1), row("2001:db8::1", 443, "::", 0, 2),
                              row("2001:db8::1", 50000, "2001:db8::2", 443, 3), row("::", 81, "::", 0, 0),
                              row("fe80::1", 22, "fe80::2", 40000, 4)}),
                      identity.reader());
  const struct {
    const char *local, *remote;
    uint16_t lport, rport;
    const char* want;
  } cases[] = {
      {"2001:db8::1", "2001:db8::7", 80, 1234, "proc1"},     // listener on ::, any local, any peer
      {"fe80::1", "fe80::9", 80, 1234, "proc1"},             // link-local too
      {"2001:db8::1", "2001:db8::7", 443, 1234, "proc2"},    // listener on the address
      {"2001:db8::5", "2001:db8::7", 443, 1234, ""},         // listener on another address
      {"2001:db8::1", "2001:db8::2", 50000, 443, "proc3"},   // the connection
      {"2001:db8::1", "2001:db8::3", 50000, 443, ""},        // its port, another peer
      {"2001:db8::1", "2001:db8::7", 81, 1234, ""},          // a row whose holder is unknown names nobody
      {"fe80::1", "fe80::2", 22, 40000, "proc4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nameFor(table, c.local, c.lport, c.remote, c.rport), c.want)
        << "[" << c.local << "]:" << c.lport << " from [" << c.remote << "]:" << c.rport;
  }
}

TEST(Socket6Table, RefreshKeepsOwnersOfTheSamePidAndRenamesReusedEnds) {
  Socket6Table table;
  FakeIdentity identity;
  refreshSocket6Table(table, 6, 1000, 0, readOf({row("::", 80, "::", 0, 1), row("::", 443, "::", 0, 2)}),
                      identity.reader());
  const OwnerRef before = table.at(OwnerKey6{v6("::"), v6("::"), 80, 0, 6}).owner;
  identity.asked.clear();
  // 80 stays with pid 1; 443 is now another program's; 22 is new; equal ends
  // listed twice (SO_REUSEPORT) go to the first row's pid.
  refreshSocket6Table(table, 6, 2000, 0,
                      readOf({row("::", 80, "::", 0, 1), row("::", 443, "::", 0, 7), row("::", 443, "::", 0, 8),
                              row("::", 22, "::", 0, 5)}),
                      identity.reader());
  EXPECT_EQ(identity.asked, (std::vector<uint32_t>{7, 5})) << "identities are read for new owners only";
  EXPECT_EQ(table.at(OwnerKey6{v6("::"), v6("::"), 80, 0, 6}).owner, before);
  EXPECT_EQ(nameFor(table, "2001:db8::1", 443, "2001:db8::2", 9), "proc7");
  EXPECT_EQ(table.at(OwnerKey6{v6("::"), v6("::"), 443, 0, 6}).lastseen, 2000u);

  refreshSocket6Table(table, 6, 3000, 0, readOf({row("::", 22, "::", 0, 5)}), identity.reader());
  EXPECT_EQ(table.size(), 1u) << "ends the system no longer lists are dropped";
}

TEST(Socket6Table, OwnersAreAskedForOnUnknownPortsAndThePortOfTheMiss) {
  Socket6Table table;
  FakeIdentity identity;
  refreshSocket6Table(table, 6, 1, 0, readOf({row("::", 80, "::", 0, 1), row("::", 443, "::", 0, 2)}),
                      identity.reader());
  std::vector<uint16_t> wanted;
  refreshSocket6Table(table, 6, 2, 443,
                      readOf({row("::", 80, "::", 0, 1), row("2001:db8::1", 443, "2001:db8::2", 9, 2),
                              row("::", 8080, "::", 0, 3)},
                             &wanted),
                      identity.reader());
  EXPECT_EQ(wanted, (std::vector<uint16_t>{443, 8080}));
}

TEST(Socket6Table, FailedReadIsPrintedAndChangesNothing) {
  Socket6Table table;
  FakeIdentity identity;
  refreshSocket6Table(table, 17, 1000, 0, readOf({row("::", 53, "::", 0, 1)}), identity.reader());
  testing::internal::CaptureStdout();
  refreshSocket6Table(
      table, 17, 2000, 0,
      [](const OwnerFilter&) {
        EndpointTable6 failed;
        failed.status = EndpointStatus::kReadFailed;
        failed.code = 13;
        failed.function = "/proc/net/udp6";
        return failed;
      },
      identity.reader());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t/proc/net/udp6 failed with 13\n");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.begin()->second.lastseen, 1000u);
}

}  // namespace
