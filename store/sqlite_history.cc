// The history file: a table of per-minute rows whose texts (names,
// addresses) are kept once in a table of names, marked as ours by its
// application id and versioned by its user version, in WAL mode so that
// usage questions never wait for the writer.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>
#include <unordered_map>

#include "platform/error_text.h"
#include "store/history_file.h"
#include "store/sqlite_common.h"

namespace {

// "VtHi": the mark of a history file in its header.
constexpr int kApplicationId = 0x56744869;

// One row per minute (or merged hour) and key, kept in the order of its
// minute: a range is one stretch of the table, and no index is needed.
const char* const kSchema =
    "CREATE TABLE names (id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);"
    "CREATE TABLE usage (minute INTEGER NOT NULL, span INTEGER NOT NULL,"
    " process INTEGER NOT NULL, user INTEGER NOT NULL, domain INTEGER NOT NULL,"
    " direction INTEGER NOT NULL, proto INTEGER NOT NULL, peer INTEGER NOT NULL,"
    " remoteport INTEGER NOT NULL, localport INTEGER NOT NULL, peername INTEGER NOT NULL, service INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL, pkts INTEGER NOT NULL, flows INTEGER NOT NULL,"
    " PRIMARY KEY (minute, process, peer, remoteport, localport, direction, proto, user, domain, peername, service,"
    " span)) WITHOUT ROWID;";

#define DIMENSIONS "process, user, domain, direction, proto, peer, remoteport, localport, peername, service"
// A row whose minute and key are there already adds to it.
#define ADD_TO_PRESENT \
  " ON CONFLICT DO UPDATE SET bytes = bytes + excluded.bytes, pkts = pkts + excluded.pkts, flows = flows + excluded.flows"

// Texts known to have an id; cleared when it grows past this.
constexpr size_t kNameCacheLimit = 200000;

}  // namespace

struct HistoryFile {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* addName = nullptr;
  sqlite3_stmt* findName = nullptr;
  std::string path;
  std::unordered_map<std::string, int64_t> nameIds;
  ~HistoryFile() {
    sqlite3_finalize(insert);
    sqlite3_finalize(addName);
    sqlite3_finalize(findName);
    sqlite3_close_v2(db);
  }
};

namespace {

bool prepare(sqlite3* db, const char* sql, sqlite3_stmt** stmt, std::string& error) {
  if (sqlite3_prepare_v2(db, sql, -1, stmt, nullptr) == SQLITE_OK) return true;
  error = engineError(db);
  return false;
}

// Checks that the open file is a history this program can use, making it
// one when it is new and empty.
bool checkHistorySchema(HistoryFile& f, std::string& error) {
  int64_t appId = 0, version = 0, objects = 0;
  std::string why;
  if (!queryInt(f.db, "PRAGMA application_id", appId, why) || !queryInt(f.db, "PRAGMA user_version", version, why) ||
      !queryInt(f.db, "SELECT count(*) FROM sqlite_master", objects, why)) {
    error = f.path + " is not a history file: " + why;
    return false;
  }
  if (appId == kApplicationId && version > kHistorySchemaVersion) {
    error = f.path + " has history version " + std::to_string(version) + ", newer than this program's (" +
            std::to_string(kHistorySchemaVersion) + ")";
    return false;
  }
  if (appId == kApplicationId && version == kHistorySchemaVersion) return true;
  if (appId != 0 || objects != 0) {
    error = f.path + " is not a history file: an SQLite database of another kind";
    return false;
  }
  const std::string create = std::string("BEGIN IMMEDIATE;") + kSchema + "PRAGMA application_id = " +
                             std::to_string(kApplicationId) + "; PRAGMA user_version = " +
                             std::to_string(kHistorySchemaVersion) + "; COMMIT;";
  if (!exec(f.db, create.c_str(), why)) {
    sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
    error = "cannot write to " + f.path + ": " + why;
    return false;
  }
  return true;
}

bool nameId(HistoryFile& f, const std::string& text, int64_t& id, std::string& error) {
  if (auto it = f.nameIds.find(text); it != f.nameIds.end()) {
    id = it->second;
    return true;
  }
  bindText(f.addName, 1, text);
  const int added = sqlite3_step(f.addName);
  sqlite3_reset(f.addName);
  bindText(f.findName, 1, text);
  const int found = sqlite3_step(f.findName);
  if (found == SQLITE_ROW) id = sqlite3_column_int64(f.findName, 0);
  sqlite3_reset(f.findName);
  if (added != SQLITE_DONE || found != SQLITE_ROW) {
    error = engineError(f.db);
    return false;
  }
  if (f.nameIds.size() >= kNameCacheLimit) f.nameIds.clear();
  f.nameIds.emplace(text, id);
  return true;
}

bool insertRows(HistoryFile& f, const HistoryMinutes& minutes, std::string& error) {
  // Rows in the table's order, so that the pages they fill stay full.
  using Row = std::array<int64_t, 15>;
  std::vector<Row> rows;
  rows.reserve(minutes.size());
  for (const auto& [mk, t] : minutes) {
    const HistoryKey& k = mk.key;
    int64_t process, user, domain, peer, peername, service;
    if (!nameId(f, k.process, process, error) || !nameId(f, k.user, user, error) ||
        !nameId(f, k.domain, domain, error) || !nameId(f, k.peer, peer, error) ||
        !nameId(f, k.peername, peername, error) || !nameId(f, k.service, service, error)) {
      return false;
    }
    // In the primary key's order: minute, process, peer, remoteport,
    // localport, direction, proto, user, domain, peername, service, span.
    rows.push_back(Row{static_cast<int64_t>(mk.minute), process, peer, k.remoteport, k.localport, k.direction, k.proto,
                       user, domain, peername, service, 1, static_cast<int64_t>(t.bytes), static_cast<int64_t>(t.pkts),
                       static_cast<int64_t>(t.flows)});
  }
  std::sort(rows.begin(), rows.end());
  sqlite3_stmt* s = f.insert;
  for (const Row& row : rows) {
    for (int i = 0; i < 15; ++i) sqlite3_bind_int64(s, i + 1, row[i]);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
      error = engineError(f.db);
      return false;
    }
  }
  return true;
}

bool runWithMinute(sqlite3* db, const char* sql, int64_t minute, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  if (!prepare(db, sql, &stmt, error)) return false;
  sqlite3_bind_int64(stmt, 1, minute);
  const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
  if (!ok) error = engineError(db);
  sqlite3_finalize(stmt);
  return ok;
}

// The key column of a usage question, and how its value becomes the key's
// text.
const char* keyExpression(UsageBy by) {
  switch (by) {
    case UsageBy::process: return "process";
    case UsageBy::user: return "user";
    case UsageBy::service: return "service";
    case UsageBy::peer: return "CASE WHEN peername = (SELECT id FROM names WHERE text = '') THEN peer ELSE peername END";
    case UsageBy::port: return "proto * 65536 + remoteport + localport";
  }
  return "process";
}

std::string protoName(int proto) {
  switch (proto) {
    case 6: return "tcp";
    case 17: return "udp";
    case 1: return "icmp";
    case 58: return "icmpv6";
  }
  return "proto " + std::to_string(proto);
}

std::string portKey(int64_t value) {
  const int proto = static_cast<int>(value / 65536);
  const int port = static_cast<int>(value % 65536);
  if (proto != 6 && proto != 17) return protoName(proto);
  return std::to_string(port) + "/" + protoName(proto);
}

}  // namespace

std::shared_ptr<HistoryFile> openHistoryFile(const std::string& path, std::string& error) {
  // Made here first so that it is the owner's alone from the start; SQLite
  // gives its log files the same mode.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open " + path + ": " + systemErrorText(errno);
    return nullptr;
  }
  fchmod(fd, 0600);
  ::close(fd);
  auto f = std::make_shared<HistoryFile>();
  f->path = path;
  if (sqlite3_open_v2(path.c_str(), &f->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + engineError(f->db);
    return nullptr;
  }
  sqlite3_extended_result_codes(f->db, 1);
  sqlite3_busy_timeout(f->db, 500);
  if (!checkHistorySchema(*f, error)) return nullptr;
  std::string why;
  if (!exec(f->db,
            "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 8388608;"
            "BEGIN IMMEDIATE; COMMIT;",
            why)) {
    error = "cannot write to " + path + ": " + why;
    return nullptr;
  }
  if (!prepare(f->db,
               "INSERT INTO usage (minute, process, peer, remoteport, localport, direction, proto, user, domain,"
               " peername, service, span, bytes, pkts, flows)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" ADD_TO_PRESENT,
               &f->insert, why) ||
      !prepare(f->db, "INSERT OR IGNORE INTO names (text) VALUES (?)", &f->addName, why) ||
      !prepare(f->db, "SELECT id FROM names WHERE text = ?", &f->findName, why)) {
    error = path + " is not a history file: " + why;
    return nullptr;
  }
  return f;
}

bool writeHistory(HistoryFile& f, const HistoryMinutes& minutes, std::string& error) {
  std::string why;
  if (!exec(f.db, "BEGIN IMMEDIATE", why)) {
    error = "cannot write to " + f.path + ": " + why;
    return false;
  }
  if (insertRows(f, minutes, why) && exec(f.db, "COMMIT", why)) return true;
  sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
  // Ids handed out in the rolled-back transaction are gone.
  f.nameIds.clear();
  error = "cannot write to " + f.path + ": " + why;
  return false;
}

bool trimHistory(HistoryFile& f, uint64_t nowMinute, uint32_t days, uint64_t maxBytes, std::string& error) {
  const int64_t now = static_cast<int64_t>(nowMinute);
  const int64_t hoursBefore = (now - 1440) / 60 * 60;
  std::string why;
  bool ok = exec(f.db, "BEGIN IMMEDIATE", why) &&
            runWithMinute(f.db, "DELETE FROM usage WHERE minute < ?", now - int64_t{days} * 1440, why) &&
            runWithMinute(f.db,
                          "INSERT INTO usage (minute, span, " DIMENSIONS ", bytes, pkts, flows)"
                          " SELECT minute / 60 * 60, 60, " DIMENSIONS ", sum(bytes), sum(pkts), sum(flows)"
                          " FROM usage WHERE span = 1 AND minute < ?1 GROUP BY minute / 60, " DIMENSIONS ADD_TO_PRESENT,
                          hoursBefore, why) &&
            runWithMinute(f.db, "DELETE FROM usage WHERE span = 1 AND minute < ?", hoursBefore, why) &&
            exec(f.db, "COMMIT", why);
  // The oldest hours leave while the data is over its bound; the pages
  // they free are used again for new minutes.
  for (int round = 0; ok && round < 1000; ++round) {
    uint64_t used = 0;
    if (!historyBytes(f, used, why)) return false;
    if (used <= maxBytes) break;
    ok = runWithMinute(f.db, "DELETE FROM usage WHERE minute < (SELECT min(minute) FROM usage) + ?", 60, why);
    int64_t rows = 0;
    if (ok && (!queryInt(f.db, "SELECT count(*) FROM (SELECT 1 FROM usage LIMIT 1)", rows, why) || rows == 0)) break;
  }
  if (!ok) {
    sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
    error = "cannot write to " + f.path + ": " + why;
  }
  return ok;
}

bool historyBytes(HistoryFile& f, uint64_t& bytes, std::string& error) {
  int64_t pages = 0, free = 0, size = 0;
  if (!queryInt(f.db, "PRAGMA page_count", pages, error) || !queryInt(f.db, "PRAGMA freelist_count", free, error) ||
      !queryInt(f.db, "PRAGMA page_size", size, error)) {
    return false;
  }
  bytes = static_cast<uint64_t>((pages - free) * size);
  return true;
}

bool queryHistoryUsage(const std::string& path, const UsageQuery& q, UsageAnswer& answer, std::string& error) {
  sqlite3* db = nullptr;
  struct Closer {
    sqlite3*& db;
    ~Closer() { sqlite3_close_v2(db); }
  } closer{db};
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + engineError(db);
    return false;
  }
  sqlite3_busy_timeout(db, 2000);
  std::string sql = std::string("SELECT ") + keyExpression(q.by) +
                    ", (minute * 60000 - :since) / :step, sum(bytes), sum(pkts), sum(flows) FROM usage"
                    " WHERE minute >= :first AND minute < :last";
  if (!q.process.empty()) {
    sql += " AND process IN (SELECT id FROM names WHERE text = :process OR"
           " substr(text, -length(:process) - 1) IN ('/' || :process, '\\' || :process))";
  }
  if (!q.peer.empty()) {
    sql += " AND (peer IN (SELECT id FROM names WHERE text = :peer) OR"
           " peername IN (SELECT id FROM names WHERE text = :peer AND text != ''))";
  }
  if (!q.service.empty()) sql += " AND service IN (SELECT id FROM names WHERE text = :service)";
  if (q.port >= 0) sql += " AND (remoteport = :port OR localport = :port)";
  sql += " GROUP BY 1, 2";
  sqlite3_stmt* stmt = nullptr;
  if (!prepare(db, sql.c_str(), &stmt, error)) return false;
  auto index = [stmt](const char* name) { return sqlite3_bind_parameter_index(stmt, name); };
  sqlite3_bind_int64(stmt, index(":since"), static_cast<int64_t>(q.since));
  sqlite3_bind_int64(stmt, index(":step"), static_cast<int64_t>(q.step));
  sqlite3_bind_int64(stmt, index(":first"), static_cast<int64_t>(q.since / 60000));
  sqlite3_bind_int64(stmt, index(":last"), static_cast<int64_t>((q.until + 59999) / 60000));
  bindText(stmt, index(":process"), q.process);
  bindText(stmt, index(":peer"), q.peer);
  bindText(stmt, index(":service"), q.service);
  sqlite3_bind_int(stmt, index(":port"), q.port);

  std::vector<UsageCell> cells;
  std::vector<int64_t> cellKeys;
  std::unordered_map<int64_t, std::string> keys;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    UsageCell c;
    const int64_t key = sqlite3_column_int64(stmt, 0);
    auto [it, added] = keys.try_emplace(key);
    if (added) it->second = q.by == UsageBy::port ? portKey(key) : "";
    cellKeys.push_back(key);
    c.step = static_cast<size_t>(sqlite3_column_int64(stmt, 1));
    c.bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
    c.pkts = static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    c.flows = static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
    cells.push_back(std::move(c));
  }
  if (rc != SQLITE_DONE) error = engineError(db);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return false;

  if (q.by != UsageBy::port) {
    sqlite3_stmt* name = nullptr;
    if (!prepare(db, "SELECT text FROM names WHERE id = ?", &name, error)) return false;
    for (auto& [id, text] : keys) {
      sqlite3_bind_int64(name, 1, id);
      if (sqlite3_step(name) == SQLITE_ROW) text = columnText(name, 0);
      sqlite3_reset(name);
    }
    sqlite3_finalize(name);
  }
  for (size_t i = 0; i < cells.size(); ++i) cells[i].key = keys[cellKeys[i]];
  const uint64_t points = (q.until - q.since + q.step - 1) / q.step;
  answer = rankUsage(cells, static_cast<size_t>(points), q.limit);
  return true;
}
