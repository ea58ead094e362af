#include "web/metrics.h"

#include <gtest/gtest.h>

#include "runtime/state.h"

namespace {

TEST(TopProcesses, MergedByNameMostBytesFirstAtMostTheLimit) {
  const OwnerRef a1 = makeOwner("/usr/bin/a", "u1", "h"), a2 = makeOwner("/usr/bin/a", "u2", "h");
  const OwnerRef b = makeOwner("b", "u", "h"), c = makeOwner("c", "u", "h"), d = makeOwner("d", "u", "h");
  const OwnerRef unnamed = makeOwner("", "u", "h");
  const std::vector<OwnerTotal> owners = {
      {a1, 1, 1, 10}, {b, 2, 2, 25}, {a2, 3, 3, 15}, {c, 1, 1, 25}, {nullptr, 9, 9, 999}, {unnamed, 5, 5, 500},
      {d, 4, 4, 1},
  };
  const auto text = [](const std::vector<ProcessTotal>& top) {
    std::string s;
    for (const ProcessTotal& p : top) s += p.name + ":" + std::to_string(p.flows) + "/" + std::to_string(p.bytes) + " ";
    return s;
  };
  EXPECT_EQ(text(topProcesses(owners, 50)), "/usr/bin/a:4/25 b:2/25 c:1/25 d:4/1 ");
  EXPECT_EQ(text(topProcesses(owners, 2)), "/usr/bin/a:4/25 b:2/25 ");
  EXPECT_EQ(text(topProcesses({}, 50)), "");

  // Per service: several processes of one service merge, processes of none are left out.
  const OwnerRef web1 = makeOwner("nginx", "www", "h", "web.service"), web2 = makeOwner("php", "www", "h", "web.service");
  const OwnerRef db = makeOwner("postgres", "pg", "h", "db.service");
  EXPECT_EQ(text(topServices({{web1, 1, 1, 10}, {db, 2, 2, 15}, {web2, 3, 3, 15}, {a1, 4, 4, 99}}, 50)),
            "web.service:4/25 db.service:2/15 ");
}

TEST(ExportsSentTotal, GoesOnPastTheCounterWrapping) {
  const int32_t readings[] = {0, 5, INT32_MAX, INT32_MIN, -1, 0, 3};
  uint64_t want = exportsSentTotal();
  int32_t previous = exportsSent.load();
  for (int32_t r : readings) {
    exportsSent = r;
    want += static_cast<uint32_t>(r) - static_cast<uint32_t>(previous);
    previous = r;
    EXPECT_EQ(exportsSentTotal(), want) << r;
  }
  exportsSent = 0;
}

}  // namespace
