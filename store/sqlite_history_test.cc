#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
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

int64_t count(const std::string& path, const char* question) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, question, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  const int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  sqlite3_close(db);
  return n;
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

  // A size bound below the data: the minutes before the last hour become
  // hours first, keeping their sums; the oldest hours stay meanwhile.
  uint64_t before = 0, after = 0;
  HistoryMinutes many;
  for (uint64_t back = 0; back < 1440; ++back) {
    for (int peer = 0; peer < 20; ++peer) {
      add(many, now - back * kMinute, key("busy", ("198.51.100." + std::to_string(peer)).c_str(), 80), 10);
    }
  }
  ASSERT_TRUE(writeHistory(*f, many, error)) << error;
  ASSERT_TRUE(historyBytes(*f, before, error));
  const uint64_t lastDay = total(now - 1440 * kMinute, now + kMinute);
  const uint64_t oldDay = total(now - 3 * 1440 * kMinute, now - 2 * 1440 * kMinute);
  ASSERT_TRUE(trimHistory(*f, now / kMinute, 3, before / 2, error)) << error;
  ASSERT_TRUE(historyBytes(*f, after, error));
  EXPECT_LE(after, before / 2);
  EXPECT_EQ(total(now - 1440 * kMinute, now + kMinute), lastDay);
  EXPECT_EQ(total(now - 3 * 1440 * kMinute, now - 2 * 1440 * kMinute), oldDay);
  // Then the oldest hours leave.
  ASSERT_TRUE(trimHistory(*f, now / kMinute, 3, 1, error)) << error;
  EXPECT_EQ(total(now - 3 * 1440 * kMinute, now - 1440 * kMinute), 0u);

  // A day later only a new program is left: the names and keys of the
  // others go with their rows.
  HistoryMinutes later;
  add(later, now + 1440 * kMinute, key("later", "192.0.2.9", 443), 10);
  ASSERT_TRUE(writeHistory(*f, later, error)) << error;
  ASSERT_TRUE(trimHistory(*f, now / kMinute + 1470, 1, 200ull << 20, error)) << error;
  f.reset();
  EXPECT_EQ(count(path, "SELECT count(*) FROM keys"), 1);
  EXPECT_EQ(count(path, "SELECT count(*) FROM names WHERE text = 'app'"), 0);
}

// Questions in whole half hours are answered from the half-hour totals, the
// others from the rows of each minute: both must give the same numbers.
TEST(HistoryFile, HalfHourTotalsAgreeWithTheMinutes) {
  Folder dir;
  const std::string path = dir.file("h.sqlite");
  std::string error;
  auto f = openHistoryFile(path, error);
  ASSERT_TRUE(f) << error;
  const uint64_t start = kT0 / (30 * kMinute) * (30 * kMinute);
  HistoryMinutes m;
  const char* processes[] = {"/usr/bin/backup", "/usr/bin/curl", "/opt/db/bin/db", "sshd"};
  const char* peers[] = {"192.0.2.1", "192.0.2.2", "198.51.100.7", ""};
  for (uint64_t minute = 0; minute < 20 * 60; minute += 7) {
    for (int i = 0; i < 4; ++i) {
      HistoryKey k = key(processes[(minute + i) % 4], peers[(minute / 7 + i) % 4], i % 2 ? 443 : 22,
                         i == 1 ? "example.test" : "");
      k.user = i == 3 ? "root" : "alice";
      k.service = i == 2 ? "db" : "";
      k.direction = i % 2;
      if (i == 3) std::swap(k.remoteport, k.localport);
      add(m, start + minute * kMinute, k, 1000 + minute * (i + 1));
    }
  }
  ASSERT_TRUE(writeHistory(*f, m, error)) << error;
  // The first, the whole and the last part of the day; one ends in the
  // middle of a half hour.
  const std::pair<uint64_t, uint64_t> ranges[] = {{0, 60}, {0, 20 * 60}, {300, 1143}};
  for (UsageBy by : {UsageBy::process, UsageBy::peer, UsageBy::service, UsageBy::port, UsageBy::user}) {
    for (auto [from, to] : ranges) {
      UsageQuery halfHours = query(by, start + from * kMinute, start + to * kMinute, 3);
      halfHours.step = 30 * kMinute;
      UsageQuery minutes = halfHours;
      minutes.step = kMinute;
      UsageAnswer a, b;
      ASSERT_TRUE(queryHistoryUsage(path, halfHours, a, error)) << error;
      ASSERT_TRUE(queryHistoryUsage(path, minutes, b, error)) << error;
      // The minutes' series summed into half hours.
      for (UsageSeries& s : b.series) {
        std::vector<uint64_t> sums((s.bytes.size() + 29) / 30);
        for (size_t i = 0; i < s.bytes.size(); ++i) sums[i / 30] += s.bytes[i];
        s.bytes = sums;
      }
      const std::string name = std::string(usageByName(by)) + " " + std::to_string(from) + "-" + std::to_string(to);
      EXPECT_GT(a.top.size(), 1u) << name;
      EXPECT_EQ(describe(a), describe(b)) << name;
      for (size_t i = 0; i < a.top.size() && i < b.top.size(); ++i) {
        EXPECT_EQ(a.top[i].pkts, b.top[i].pkts) << name;
        EXPECT_EQ(a.top[i].flows, b.top[i].flows) << name;
      }
    }
  }
}

// A file of the first version: its minutes and hours are kept.
TEST(HistoryFile, BringsAFileOfTheFirstVersionToThisOne) {
  Folder dir;
  const std::string path = dir.file("old.sqlite");
  const uint64_t minute = kT0 / kMinute;
  const uint64_t hour = (minute - 1440) / 60 * 60;
  sql(path,
      "PRAGMA application_id = 1450461289; PRAGMA user_version = 1;"
      "CREATE TABLE names (id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);"
      "CREATE TABLE usage (minute INTEGER NOT NULL, span INTEGER NOT NULL,"
      " process INTEGER NOT NULL, user INTEGER NOT NULL, domain INTEGER NOT NULL,"
      " direction INTEGER NOT NULL, proto INTEGER NOT NULL, peer INTEGER NOT NULL,"
      " remoteport INTEGER NOT NULL, localport INTEGER NOT NULL, peername INTEGER NOT NULL,"
      " service INTEGER NOT NULL, bytes INTEGER NOT NULL, pkts INTEGER NOT NULL, flows INTEGER NOT NULL,"
      " PRIMARY KEY (minute, process, peer, remoteport, localport, direction, proto, user, domain, peername, service,"
      " span)) WITHOUT ROWID;"
      "INSERT INTO names VALUES (1, ''), (2, '/usr/bin/backup'), (3, 'alice'), (4, '192.0.2.1'), (5, 'sshd'),"
      " (6, 'example.test');"
      "INSERT INTO usage VALUES (" + std::to_string(hour) + ", 60, 2, 3, 1, 0, 6, 4, 443, 0, 1, 1, 7000, 70, 7),"
      " (" + std::to_string(minute) + ", 1, 2, 3, 1, 0, 6, 4, 443, 0, 1, 1, 500, 5, 1),"
      " (" + std::to_string(minute + 1) + ", 1, 5, 3, 1, 1, 6, 4, 0, 22, 6, 1, 300, 3, 1);");
  std::string error;
  ASSERT_TRUE(openHistoryFile(path, error)) << error;
  EXPECT_EQ(count(path, "PRAGMA user_version"), 2);
  UsageAnswer a;
  ASSERT_TRUE(queryHistoryUsage(path, query(UsageBy::process, hour * kMinute, (minute + 2) * kMinute), a, error));
  ASSERT_EQ(a.top.size(), 2u);
  EXPECT_EQ(a.top[0].key, "/usr/bin/backup");
  EXPECT_EQ(a.top[0].bytes, 7500u);
  EXPECT_EQ(a.top[1].bytes, 300u);
  UsageQuery byPeer = query(UsageBy::peer, minute * kMinute, (minute + 2) * kMinute);
  byPeer.port = 22;
  ASSERT_TRUE(queryHistoryUsage(path, byPeer, a, error));
  EXPECT_EQ(describe(a), "example.test=300[0 300 ] ");
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
       "has history version 9, newer than this program's (2)"},
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
