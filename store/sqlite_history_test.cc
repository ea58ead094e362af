#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "store/history_file.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMinute = 60000;
constexpr uint64_t kT0 = 1'700'000'040'000 / kMinute * kMinute;

struct Folder {
  std::string path;
  Folder() {
    char name[] = "/tmp/vantrel-history-XXXXXX";
    path = mkdtemp(name);
  }
  ~Folder() { (void)system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

HistoryKey key(const char* process, const char* peer, uint16_t remoteport, const char* peername = "") {
  HistoryKey k;
  k.process = process;
  k.user = "alice";
  k.proto = 6;
  k.peer = peer;
  k.remoteport = remoteport;
  k.peername = peername;
  return k;
}

void add(HistoryMinutes& m, uint64_t at, const HistoryKey& k, uint64_t bytes) {
  HistoryTotals& t = m[HistoryMinuteKey{at / kMinute, k}];
  t.bytes += bytes;
  t.pkts += bytes / 100;
  t.flows += 1;
}

UsageQuery query(UsageBy by, uint64_t since, uint64_t until, size_t limit = 10) {
  UsageQuery q;
  q.since = since;
  q.until = until;
  q.step = usageStep(since, until);
  q.by = by;
  q.limit = limit;
  return q;
}

std::string describe(const UsageAnswer& a) {
  std::string text;
  for (size_t i = 0; i < a.top.size(); ++i) {
    text += a.top[i].key + "=" + std::to_string(a.top[i].bytes) + "[";
    for (uint64_t b : a.series[i].bytes) text += std::to_string(b) + " ";
    text += "] ";
  }
  return text;
}

void sql(const std::string& path, const std::string& text) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(HistoryFile, AnswersUsageByEachKeyWithOtherAndFiltersAndSurvivesReopening) {
  Folder dir;
  const std::string path = dir.file("vantrelhistory.sqlite");
  std::string error;
  {
    auto f = openHistoryFile(path, error);
    ASSERT_TRUE(f) << error;
    HistoryMinutes m;
    add(m, kT0, key("/usr/bin/backup", "192.0.2.1", 443), 5000);
    add(m, kT0 + 2 * kMinute, key("/usr/bin/backup", "192.0.2.2", 22), 3000);
    add(m, kT0 + kMinute, key("/usr/bin/curl", "192.0.2.1", 443, "example.test"), 2000);
    add(m, kT0 + kMinute, key("/usr/bin/ssh", "192.0.2.3", 22), 1000);
    ASSERT_TRUE(writeHistory(*f, m, error)) << error;
    // The same minute and key again in a later batch adds up.
    HistoryMinutes again;
    add(again, kT0, key("/usr/bin/backup", "192.0.2.1", 443), 500);
    ASSERT_TRUE(writeHistory(*f, again, error)) << error;
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  struct Case {
    const char* name;
    UsageQuery q;
    std::string expected;
  };
  std::vector<Case> cases;
  cases.push_back({"by process", query(UsageBy::process, kT0, kT0 + 3 * kMinute),
                   "/usr/bin/backup=8500[5500 0 3000 ] /usr/bin/curl=2000[0 2000 0 ] /usr/bin/ssh=1000[0 1000 0 ] "});
  cases.push_back({"top 1 and other", query(UsageBy::process, kT0, kT0 + 3 * kMinute, 1),
                   "/usr/bin/backup=8500[5500 0 3000 ] (other)=3000[0 3000 0 ] "});
  cases.push_back({"by peer, its name where known", query(UsageBy::peer, kT0, kT0 + 3 * kMinute),
                   "192.0.2.1=5500[5500 0 0 ] 192.0.2.2=3000[0 0 3000 ] example.test=2000[0 2000 0 ] "
                   "192.0.2.3=1000[0 1000 0 ] "});
  cases.push_back({"by port", query(UsageBy::port, kT0, kT0 + 3 * kMinute),
                   "443/tcp=7500[5500 2000 0 ] 22/tcp=4000[0 1000 3000 ] "});
  UsageQuery byName = query(UsageBy::port, kT0, kT0 + 3 * kMinute);
  byName.process = "backup";
  cases.push_back({"a process by the last part of its path", byName, "443/tcp=5500[5500 0 0 ] 22/tcp=3000[0 0 3000 ] "});
  UsageQuery byPeer = query(UsageBy::process, kT0, kT0 + 3 * kMinute);
  byPeer.peer = "192.0.2.1";
  cases.push_back({"the processes that talked to a peer", byPeer,
                   "/usr/bin/backup=5500[5500 0 0 ] /usr/bin/curl=2000[0 2000 0 ] "});
  UsageQuery byPort = query(UsageBy::process, kT0, kT0 + 3 * kMinute);
  byPort.port = 22;
  cases.push_back({"a port", byPort, "/usr/bin/backup=3000[0 0 3000 ] /usr/bin/ssh=1000[0 1000 0 ] "});
  cases.push_back({"a range of its own", query(UsageBy::process, kT0 + kMinute, kT0 + 2 * kMinute),
                   "/usr/bin/curl=2000[2000 ] /usr/bin/ssh=1000[1000 ] "});
  for (const Case& c : cases) {
    UsageAnswer a;
    ASSERT_TRUE(queryHistoryUsage(path, c.q, a, error)) << c.name << ": " << error;
    EXPECT_EQ(describe(a), c.expected) << c.name;
  }
}

TEST(HistoryFile, KeepsItsBoundsInDaysAndSizeAndMergesOldMinutesIntoHours) {
  Folder dir;
  const std::string path = dir.file("h.sqlite");
  std::string error;
  auto f = openHistoryFile(path, error);
  ASSERT_TRUE(f) << error;
  // On an hour: merged hours then start on the bounds of the ranges asked.
  const uint64_t now = kT0 / 3600000 * 3600000 + 10 * 1440 * kMinute;
  HistoryMinutes m;
  for (uint64_t back = 0; back < 4 * 1440; back += 7) {
    add(m, now - back * kMinute, key("app", "192.0.2.1", 443), 100);
  }
  ASSERT_TRUE(writeHistory(*f, m, error)) << error;
  auto total = [&](uint64_t since, uint64_t until) {
    UsageAnswer a;
    EXPECT_TRUE(queryHistoryUsage(path, query(UsageBy::process, since, until), a, error)) << error;
    return a.top.empty() ? 0 : a.top[0].bytes;
  };
  const uint64_t lastTwoDays = total(now - 2 * 1440 * kMinute, now + kMinute);
  ASSERT_TRUE(trimHistory(*f, now / kMinute, 3, 200ull << 20, error)) << error;
  // Three days stay; a day's minutes merged into hours keep their sums.
  EXPECT_EQ(total(now - 2 * 1440 * kMinute, now + kMinute), lastTwoDays);
  EXPECT_EQ(total(now - 5 * 1440 * kMinute, now - 3 * 1440 * kMinute), 0u);
  EXPECT_GT(total(now - 3 * 1440 * kMinute, now - 2 * 1440 * kMinute), 0u);

  // A size bound below the data: the oldest hours leave first.
  uint64_t before = 0, after = 0;
  ASSERT_TRUE(historyBytes(*f, before, error));
  HistoryMinutes many;
  for (uint64_t back = 0; back < 1440; ++back) {
    for (int peer = 0; peer < 20; ++peer) {
      add(many, now - back * kMinute, key("busy", ("198.51.100." + std::to_string(peer)).c_str(), 80), 10);
    }
  }
  ASSERT_TRUE(writeHistory(*f, many, error)) << error;
  ASSERT_TRUE(historyBytes(*f, before, error));
  ASSERT_TRUE(trimHistory(*f, now / kMinute, 3, before / 2, error)) << error;
  ASSERT_TRUE(historyBytes(*f, after, error));
  EXPECT_LE(after, before / 2);
  EXPECT_GT(total(now - 10 * kMinute, now + kMinute), 0u);
  EXPECT_EQ(total(now - 3 * 1440 * kMinute, now - 1440 * kMinute), 0u);
}

TEST(HistoryFile, RefusesFilesThatAreNotItsOwnWithOneLineEach) {
  Folder dir;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    std::string expected;
  };
  const Case cases[] = {
      {"not SQLite",
       [](const std::string& p) { std::ofstream(p) << std::string(8192, 'x'); },
       "is not a history file: file is not a database"},
      {"another SQLite database", [](const std::string& p) { sql(p, "CREATE TABLE mine (a);"); },
       "is not a history file: an SQLite database of another kind"},
      {"a newer history",
       [](const std::string& p) { sql(p, "PRAGMA application_id = 1450461289; PRAGMA user_version = 9;"); },
       "has history version 9, newer than this program's (1)"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file(std::string(c.name) + ".sqlite");
    c.make(path);
    std::string error;
    EXPECT_FALSE(openHistoryFile(path, error)) << c.name;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }
  // Locked by another program: the write says so and the file stays usable.
  const std::string path = dir.file("locked.sqlite");
  std::string error;
  auto f = openHistoryFile(path, error);
  ASSERT_TRUE(f) << error;
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  HistoryMinutes m;
  add(m, kT0, key("app", "192.0.2.1", 443), 100);
  EXPECT_FALSE(writeHistory(*f, m, error));
  EXPECT_NE(error.find("database is locked"), std::string::npos) << error;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(writeHistory(*f, m, error)) << error;
}

}  // namespace
