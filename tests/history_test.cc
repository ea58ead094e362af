// The monitor's history as a user meets it: two programs talk over the
// watched loopback, and the usage the status document reports per program
// matches the flows the collector received, before and after a restart;
// a history that is turned off or cannot be used leaves capture and export
// running.
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

#include "platform/clock.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr uint16_t kCollectorPort = 24155;
constexpr uint16_t kHttpPort = 17939;

std::string monitorSettings(const std::string& extra = "") {
  return "{\"listenerIP\": \"127.0.0.2\", \"receiverIP\": \"127.0.0.1\", \"receiverPort\": " +
         std::to_string(kCollectorPort) + ", \"httpPort\": " + std::to_string(kHttpPort) +
         ", \"user\": \"admin\", \"pass\": \"x\"" + extra + "}";
}

// The watched namespace: the monitor listens on 127.0.0.2 of its loopback.
struct Watched {
  Netns ns{"vt-hist"};
  Watched() { ns.exec("ip addr add 127.0.0.2/8 dev lo"); }

  Json::Value usage(uint64_t since, uint64_t until) const {
    std::string body;
    EXPECT_EQ(ns.exec("curl -s --max-time 20 --digest -u admin:x 'http://127.0.0.1:" + std::to_string(kHttpPort) +
                          "/data/?requestedData=usage&since=" + std::to_string(since) +
                          "&until=" + std::to_string(until) + "'",
                      &body),
              0);
    return parseJson(body)["usage"];
  }
};

// Bytes per key of a usage answer's top list.
std::map<std::string, uint64_t> topBytes(const Json::Value& usage) {
  std::map<std::string, uint64_t> out;
  for (const Json::Value& row : usage["top"]) out[row["key"].asString()] = row["bytes"].asUInt64();
  return out;
}

TEST(History, TwoProgramsShowWithTheirBytesAndStayAfterARestart) {
  REQUIRE_ROOT();
  Watched watched;
  TempDir dir;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir, "127.0.0.1:" + std::to_string(kCollectorPort), watched.ns.name))
      << collector.child.output();
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, watched.ns, monitorSettings(), "Listener Socket IO controls set!\n"))
      << monitor.output();
  ASSERT_TRUE(waitFor([&] { return monitor.output().find("History in vantrelhistory.sqlite: 7 days, 200 MB at most\n") !=
                                   std::string::npos; },
                      milliseconds(5000)))
      << monitor.output();
  struct stat st {};
  ASSERT_EQ(stat(dir.file("vantrelhistory.sqlite").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Two programs, each sending to the other: 300 datagrams over 15 s, of
  // different sizes, so that each has its own total.
  const uint64_t since = currentTimeMillis() - 60000;
  const std::string names[] = {dir.file("vt-talker-a"), dir.file("vt-talker-b")};
  ChildProcess talkers[2];
  ASSERT_EQ(runCommand("cp " + binaryPath("vantrel-history-talker") + " " + names[0] + " && cp " +
                       binaryPath("vantrel-history-talker") + " " + names[1]),
            0);
  ASSERT_TRUE(talkers[0].start({names[0], "24161", "24162", "1000", "300", "50"}, dir.path, dir.file("a.log"),
                               watched.ns.name));
  ASSERT_TRUE(talkers[1].start({names[1], "24162", "24161", "400", "300", "50"}, dir.path, dir.file("b.log"),
                               watched.ns.name));
  for (ChildProcess& t : talkers) ASSERT_EQ(t.wait(milliseconds(30000)), 0) << t.output();

  // The flows' own counts, as exported once they went quiet.
  const OwnIdentity own;
  std::map<std::string, uint64_t> exported, exportedPkts;
  const auto sumExported = [&] {
    exported.clear();
    exportedPkts.clear();
    for (const Json::Value& f : collector.flows()) {
      exported[f["processname"].asString()] += f["bytes"].asUInt64();
      exportedPkts[f["processname"].asString()] += f["pkts"].asUInt64();
    }
  };
  std::string keys[2];
  for (int i = 0; i < 2; ++i) keys[i] = names[i].size() > 30 ? names[i].substr(names[i].size() - 30) : names[i];
  ASSERT_TRUE(waitFor(
      [&] {
        sumExported();
        return exportedPkts[keys[0]] == 300 && exportedPkts[keys[1]] == 300;
      },
      milliseconds(40000)))
      << collector.child.output();

  const uint64_t until = currentTimeMillis() + 60000;
  const std::map<std::string, uint64_t> first = topBytes(watched.usage(since, until));
  for (const std::string& key : keys) {
    ASSERT_TRUE(first.count(key)) << key;
    EXPECT_LE(std::fabs(double(first.at(key)) - double(exported[key])), 0.01 * double(exported[key]))
        << key << ": history " << first.at(key) << ", exported " << exported[key];
  }

  monitor.signal(SIGTERM);
  ASSERT_TRUE(WIFEXITED(monitor.wait(milliseconds(3000)))) << monitor.output();
  ChildProcess again;
  ASSERT_TRUE(again.start({binaryPath("vantrel")}, dir.path, dir.file("again.log"), watched.ns.name));
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string out = again.output();
        return out.find("History in ") != std::string::npos && out.find("In main\n") != std::string::npos;
      },
      milliseconds(10000)))
      << again.output();
  const std::map<std::string, uint64_t> second = topBytes(watched.usage(since, until));
  for (const std::string& key : keys) EXPECT_EQ(second.count(key) ? second.at(key) : 0, first.at(key)) << key;
}

// Makes the working folder's history unusable (or turns it off); the
// console line expected, "" for none.
struct Spoiler {
  const char* name;
  const char* extraSettings;
  std::function<void(const std::string& folder)> spoil;
  std::function<std::string()> line;
};

void writeForeignDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE recipes (name TEXT)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

TEST(History, OffOrUnusableFilesLeaveCaptureAndExportRunning) {
  REQUIRE_ROOT();
  const Spoiler spoilers[] = {
      {"historyDays 0", ", \"historyDays\": 0", [](const std::string&) {}, [] { return std::string(); }},
      {"a corrupt file", "",
       [](const std::string& folder) { writeFile(folder + "/vantrelhistory.sqlite", std::string(5000, '\x17')); },
       [] { return std::string("History off: vantrelhistory.sqlite is not a history file: file is not a database\n"); }},
      {"another program's SQLite file", "",
       [](const std::string& folder) { writeForeignDatabase(folder + "/vantrelhistory.sqlite"); },
       [] {
         return std::string(
             "History off: vantrelhistory.sqlite is not a history file: an SQLite database of another kind\n");
       }},
      {"a read-only folder", "",
       [](const std::string& folder) {
         ASSERT_EQ(runCommand("mount --bind " + folder + " " + folder + " && mount -o remount,bind,ro " + folder), 0);
       },
       [] { return "History off: cannot open vantrelhistory.sqlite: " + std::string(strerror(EROFS)) + "\n"; }},
  };
  for (const Spoiler& s : spoilers) {
    SCOPED_TRACE(s.name);
    Watched watched;
    TempDir dir;
    CollectorProcess collector;
    ASSERT_TRUE(collector.start(dir, "127.0.0.1:" + std::to_string(kCollectorPort), watched.ns.name));
    const std::string folder = dir.file("work");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    writeFile(folder + "/vantrelsettings.json", monitorSettings(s.extraSettings));
    s.spoil(folder);
    struct Unmount {
      std::string folder;
      ~Unmount() { runCommand("umount " + folder + " 2>/dev/null"); }
    } unmount{folder};
    ChildProcess monitor;
    ASSERT_TRUE(monitor.start({binaryPath("vantrel")}, folder, dir.file("console.log"), watched.ns.name));
    ASSERT_TRUE(waitFor(
        [&] {
          const std::string out = monitor.output();
          return out.find("exporter bind socket") != std::string::npos &&
                 out.find("Listener Socket IO controls set!\n") != std::string::npos;
        },
        milliseconds(5000)))
        << monitor.output();
    if (!s.line().empty()) {
      ASSERT_TRUE(waitFor([&] { return monitor.output().find(s.line()) != std::string::npos; }, milliseconds(5000)))
          << monitor.output();
    }

    inNamespace(watched.ns, [&] {
      const int fd = boundSocket(SOCK_DGRAM, "127.0.0.2", 40101);
      const sockaddr_in to = endpoint("127.0.0.1", 40102);
      for (int i = 0; i < 7; ++i) sendto(fd, "flow", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      close(fd);
    });
    sleepMillis(500);
    monitor.signal(SIGTERM);
    const int status = monitor.wait(milliseconds(3000));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << monitor.output();
    const auto exported = [&] {
      for (const Json::Value& f : collector.flows()) {
        if (f["dstport"] == 40102 && f["pkts"] == 7) return true;
      }
      return false;
    };
    EXPECT_TRUE(waitFor(exported, milliseconds(3000))) << collector.child.output();
    const std::string out = monitor.output();
    if (s.line().empty()) {
      EXPECT_EQ(out.find("History"), std::string::npos) << out;
      EXPECT_NE(access((folder + "/vantrelhistory.sqlite").c_str(), F_OK), 0);
    } else {
      EXPECT_EQ(countOf(out, s.line()), 1u) << out;
    }
  }
}

}  // namespace
