#include "process/process_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

EndpointReader readOf(std::vector<EndpointRow> rows) {
  EndpointTable t;
  t.rows = std::move(rows);
  return [t](const OwnerFilter&) { return t; };
}

// An identity reader that names each process after its pid and counts calls.
struct FakeIdentity {
  std::vector<uint32_t> asked;
  IdentityReader reader() {
    return [this](uint32_t pid) {
      asked.push_back(pid);
      const std::string user = "user" + std::to_string(pid);
      return makeOwner("proc" + std::to_string(pid) + ".exe", user, "HOST1");
    };
  }
};

OwnerRef ownerNamed(const std::string& name) {
  return makeOwner(name, "", "");
}

TEST(ProcessTableTest, FirstRowOfASharedPortDecidesAndIdentityIsReadOncePerNewPort) {
  ProcessTable table;
  FakeIdentity identity;
  // Port 80 is held by two processes; 53 appears once.
  refreshProcessTable(table, 1000,
                      readOf({{0x00000000, 80, 700}, {0x7f000001, 80, 600}, {0x7f000001, 53, 42}}),
                      identity.reader());
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.at(80).pid, 700);
  EXPECT_EQ(table.at(80).port, 80);
  EXPECT_EQ(table.at(80).name(), "proc700.exe");
  EXPECT_EQ(table.at(80).user(), "user700");
  EXPECT_EQ(table.at(80).domain(), "HOST1");
  EXPECT_EQ(table.at(53).pid, 42);
  EXPECT_EQ(identity.asked, (std::vector<uint32_t>{700, 42}));

  // A later refresh reads no identity for known ports and changes neither
  // pid nor owner, even when another process now holds the port; a port it
  // does not list is gone.
  const OwnerRef before = table.at(80).owner;
  identity.asked.clear();
  refreshProcessTable(table, 2000, readOf({{0, 80, 900}, {0, 8080, 5}}), identity.reader());
  EXPECT_EQ(identity.asked, (std::vector<uint32_t>{5}));
  EXPECT_EQ(table.count(53), 0u);
  EXPECT_EQ(table.at(80).pid, 700);
  EXPECT_EQ(table.at(80).owner, before);
  EXPECT_EQ(table.at(80).firstseen, 1000u);
  EXPECT_EQ(table.at(80).lastseen, 2000u);
  EXPECT_EQ(table.at(8080).firstseen, 2000u);
  EXPECT_EQ(table.at(8080).lastseen, 2000u);
}

TEST(ProcessTableTest, PruneRemovesOnlyEntriesSeenBeforeNow) {
  struct Case {
    uint64_t lastseen;
    uint64_t now;
    bool stays;
  } cases[] = {
      {999, 1000, false}, {1000, 1000, true}, {1001, 1000, true}, {0, 0, true}, {0, 1, false},
      {UINT64_MAX - 1, UINT64_MAX, false},
  };
  for (const Case& c : cases) {
    ProcessTable table;
    table[7] = ProcessEntry{1, 7, ownerNamed("a"), c.lastseen, 0};
    pruneProcessIDs(table, c.now);
    EXPECT_EQ(table.count(7) == 1, c.stays) << "lastseen " << c.lastseen << " now " << c.now;
  }
}

TEST(ProcessTableTest, FailedReadIsPrintedAndChangesNothing) {
  struct Case {
    EndpointStatus status;
    int code;
    const char* function;
    const char* line;
  } cases[] = {
      {EndpointStatus::kNoMemory, 0, "GetTcpTable2", "Error allocating memory\n"},
      {EndpointStatus::kReadFailed, 122, "GetTcpTable2", "\tGetTcpTable2 failed with 122\n"},
      {EndpointStatus::kReadFailed, 87, "GetExtendedUdpTable", "\tGetExtendedUdpTable failed with 87\n"},
  };
  for (const Case& c : cases) {
    ProcessTable table;
    FakeIdentity identity;
    refreshProcessTable(table, 1000, readOf({{0, 80, 1}}), identity.reader());
    EndpointTable failed;
    failed.status = c.status;
    failed.code = c.code;
    failed.function = c.function;
    testing::internal::CaptureStdout();
    refreshProcessTable(table, 2000, [&failed](const OwnerFilter&) { return failed; }, identity.reader());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.function << " " << c.code;
    ASSERT_EQ(table.count(80), 1u) << c.line;
    EXPECT_EQ(table.at(80).lastseen, 1000u) << c.line;
  }
}

TEST(ProcessTableTest, OwnersAreAskedForOnlyForPortsNotInTheTable) {
  ProcessTable table;
  FakeIdentity identity;
  refreshProcessTable(table, 1, readOf({{0, 80, 1}, {0, 0, 2}, {0, 65535, 3}}), identity.reader());
  std::vector<uint16_t> wanted;
  refreshProcessTable(
      table, 2,
      [&wanted](const OwnerFilter& ownerWanted) {
        for (uint16_t port : {0, 80, 81, 65534, 65535}) {
          if (ownerWanted(port)) wanted.push_back(port);
        }
        return EndpointTable{};
      },
      identity.reader());
  EXPECT_EQ(wanted, (std::vector<uint16_t>{81, 65534}));
}

TEST(ProcessTableTest, ARowWithoutAResolvedOwnerFallsBackToItsPid) {
  ProcessTable table;
  applyEndpointRows(table, {{0, 80, 31}}, 5, [](const EndpointRow&) { return OwnerRef(); });
  ASSERT_EQ(table.count(80), 1u);
  EXPECT_EQ(table.at(80).name(), "Pid:31");
  EXPECT_EQ(table.at(80).user(), "");
}

TEST(ProcessTableTest, FruitlessRefreshesPauseFurtherMissesForAWhile) {
  // Ports 5000+ are never listed (a scan); port 4000 opens at t=1030.
  ProcessTable table;
  FakeIdentity identity;
  MissPause pause;
  int refreshes = 0;
  bool listening = false;
  auto lookup = [&](uint64_t now, int32_t port) {
    OwnerRef owner;
    lookupProcess(table, now, port, owner, [] { return SocketPresence::kUnknown; }, [&] {
      ++refreshes;
      std::vector<EndpointRow> rows = {{0, 22, 1}};
      if (listening) rows.push_back({0, 4000, 9});
      if (now >= 1250) rows.push_back({0, 4001, 10});
      refreshProcessTable(table, now, readOf(rows), identity.reader());
    }, pause);
    return owner;
  };
  struct Step {
    uint64_t now;
    int32_t port;
    bool opens;
    int refreshesAfter;
    bool owned;
  } steps[] = {
      {1000, 5001, false, 1, false},  // fruitless: the pause begins
      {1050, 5002, false, 1, false},  // held back
      {1099, 5003, false, 1, false},  // still held back
      {1030, 4000, true, 1, false},   // a new socket within the pause goes unnamed
      {1100, 5004, false, 2, false},  // the pause is over: refresh, fruitless again
      {1200, 4000, false, 2, true},   // that refresh listed 4000: a hit
      {1250, 4001, false, 3, true},   // a miss after the pause that finds its port
      {1251, 5005, false, 4, false},  // ends the pause: the next miss refreshes at once
      {1252, 22, false, 4, true},     // hits never refresh
  };
  for (const Step& s : steps) {
    if (s.opens) listening = true;
    OwnerRef owner = lookup(s.now, s.port);
    EXPECT_EQ(refreshes, s.refreshesAfter) << "t=" << s.now << " port " << s.port;
    EXPECT_EQ(owner != nullptr, s.owned) << "t=" << s.now << " port " << s.port;
  }
}

TEST(ProcessTableTest, AMissRefreshesOnceUnlessTheProbeFindsNoSocket) {
  const OwnerRef sentinel = ownerNamed("caller's");
  constexpr auto kPresent = SocketPresence::kPresent, kAbsent = SocketPresence::kAbsent,
                 kUnknown = SocketPresence::kUnknown;
  struct Case {
    const char* what;
    bool knownBefore;
    SocketPresence probe;
    bool listedByRefresh;
    int probes;
    int refreshes;
    const char* name;  // nullptr: the caller's owner stays
  } cases[] = {
      {"hit", true, kAbsent, true, 0, 0, "known"},
      {"miss, probe unknown, then found", false, kUnknown, true, 1, 1, "proc9.exe"},
      {"miss, probe unknown, still missing", false, kUnknown, false, 1, 1, nullptr},
      {"miss, probe finds a socket", false, kPresent, true, 1, 1, "proc9.exe"},
      {"miss, probe finds none", false, kAbsent, true, 1, 0, nullptr},
  };
  for (const Case& c : cases) {
    ProcessTable table;
    if (c.knownBefore) table[4000] = ProcessEntry{1, 4000, ownerNamed("known"), 10, 10};
    FakeIdentity identity;
    int probes = 0, refreshes = 0;
    OwnerRef owner = sentinel;
    MissPause pause;
    auto probe = [&] {
      ++probes;
      return c.probe;
    };
    lookupProcess(table, 20, 4000, owner, probe, [&] {
      ++refreshes;
      std::vector<EndpointRow> rows = {{0, 22, 1}};
      if (c.listedByRefresh) rows.push_back({0, 4000, 9});
      refreshProcessTable(table, 20, readOf(rows), identity.reader());
    }, pause);
    EXPECT_EQ(probes, c.probes) << c.what;
    EXPECT_EQ(refreshes, c.refreshes) << c.what;
    EXPECT_EQ(pause.active, c.refreshes == 1 && c.name == nullptr)
        << c.what << ": only a refresh that misses starts the pause";
    if (c.name) {
      ASSERT_TRUE(owner) << c.what;
      EXPECT_EQ(owner->processname, c.name) << c.what;
    } else {
      EXPECT_EQ(owner, sentinel) << c.what;
    }
    if (c.knownBefore) EXPECT_EQ(table.at(4000).lastseen, 10u) << "a hit must not touch lastseen";
  }
}

class SharedTablesTest : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    std::lock_guard<std::mutex> lock(processTableMutex);
    tcpProcessIDs.clear();
    udpProcessIDs.clear();
  }
};

// Web threads copy the tables while the capture thread refreshes them; run
// under ThreadSanitizer this shows any access outside the lock.
TEST_F(SharedTablesTest, CopiesWhileRefreshing) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      for (const ProcessEntry& e : copyTcpProcessIDs()) ASSERT_FALSE(e.name().empty());
      (void)tcpProcessCount();
    }
  });
  FakeIdentity identity;
  for (uint64_t now = 1; now <= 300; ++now) {
    std::vector<EndpointRow> rows;
    for (uint16_t p = 0; p < 20; ++p) rows.push_back({0, static_cast<uint16_t>(1000 + (now + p) % 40), 7});
    refreshProcessTable(tcpProcessIDs, now, readOf(rows), identity.reader());
  }
  done = true;
  reader.join();
  EXPECT_EQ(tcpProcessCount(), 20u);
}

}  // namespace
