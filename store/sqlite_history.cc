// The history file: per-minute rows (and, once a day old, per-hour rows) of
// totals per key, where a key is one combination of owner, direction,
// protocol, peer and ports kept once in a table of keys, and its texts once
// in a table of names. Beside them, half-hour totals per grouping (process,
// peer, service, port, user), added as the minutes arrive, so that a
// question over days reads a few rows per half hour instead of every
// minute. Marked as ours by its application id and versioned by its user
// version, in WAL mode so that usage questions never wait for the writer.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/error_text.h"
#include "store/history_file.h"
#include "store/sqlite_common.h"

namespace {

// "VtHi": the mark of a history file in its header.
constexpr int kApplicationId = 0x56744869;

// Minutes per row of the totals table.
constexpr int64_t kSlotMinutes = 30;

// Rows kept in the order of their minute (hour, half hour): a range is one
// stretch of each table, and no index is needed. A row of `usage` is about
// 25 bytes.
#define KEY_COLUMNS "process, peer, remoteport, localport, direction, proto, user, domain, peername, service"
const char* const kNamesTable = "CREATE TABLE names (id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);";
const char* const kTables =
    "CREATE TABLE keys (id INTEGER PRIMARY KEY, process INTEGER NOT NULL, peer INTEGER NOT NULL,"
    " remoteport INTEGER NOT NULL, localport INTEGER NOT NULL, direction INTEGER NOT NULL, proto INTEGER NOT NULL,"
    " user INTEGER NOT NULL, domain INTEGER NOT NULL, peername INTEGER NOT NULL, service INTEGER NOT NULL,"
    " UNIQUE (" KEY_COLUMNS "));"
    "CREATE TABLE usage (minute INTEGER NOT NULL, key INTEGER NOT NULL, bytes INTEGER NOT NULL,"
    " pkts INTEGER NOT NULL, flows INTEGER NOT NULL, PRIMARY KEY (minute, key)) WITHOUT ROWID;"
    "CREATE TABLE hours (hour INTEGER NOT NULL, key INTEGER NOT NULL, bytes INTEGER NOT NULL,"
    " pkts INTEGER NOT NULL, flows INTEGER NOT NULL, PRIMARY KEY (hour, key)) WITHOUT ROWID;"
    "CREATE TABLE totals (dimension INTEGER NOT NULL, slot INTEGER NOT NULL, value INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL, pkts INTEGER NOT NULL, flows INTEGER NOT NULL,"
    " PRIMARY KEY (dimension, slot, value)) WITHOUT ROWID;";

// Version 1 kept every key's columns in each minute row; its rows move to
// the tables above when the file is opened.
#define PEER_OR_NAME(t) "CASE WHEN " t "peername = (SELECT id FROM names WHERE text = '') THEN " t "peer ELSE " t "peername END"
#define PORT_VALUE(t) t "proto * 65536 + " t "remoteport + " t "localport"
// Runs after the old table is renamed usage1 and the new tables are made.
const char* const kFromVersion1 =
    "INSERT OR IGNORE INTO keys (" KEY_COLUMNS ") SELECT DISTINCT " KEY_COLUMNS " FROM usage1;"
    "INSERT INTO usage SELECT u.minute, k.id, u.bytes, u.pkts, u.flows FROM usage1 u JOIN keys k USING (" KEY_COLUMNS
    ") WHERE u.span = 1 ORDER BY 1, 2;"
    "INSERT INTO hours SELECT u.minute / 60, k.id, sum(u.bytes), sum(u.pkts), sum(u.flows) FROM usage1 u"
    " JOIN keys k USING (" KEY_COLUMNS ") WHERE u.span != 1 GROUP BY 1, 2;"
    "INSERT INTO totals SELECT 0, minute / 30, process, sum(bytes), sum(pkts), sum(flows) FROM usage1 GROUP BY 2, 3;"
    "INSERT INTO totals SELECT 1, minute / 30, " PEER_OR_NAME("") ", sum(bytes), sum(pkts), sum(flows) FROM usage1"
    " GROUP BY 2, 3;"
    "INSERT INTO totals SELECT 2, minute / 30, service, sum(bytes), sum(pkts), sum(flows) FROM usage1 GROUP BY 2, 3;"
    "INSERT INTO totals SELECT 3, minute / 30, " PORT_VALUE("") ", sum(bytes), sum(pkts), sum(flows) FROM usage1"
    " GROUP BY 2, 3;"
    "INSERT INTO totals SELECT 4, minute / 30, user, sum(bytes), sum(pkts), sum(flows) FROM usage1 GROUP BY 2, 3;"
    "DROP TABLE usage1;";

// The groupings kept in the totals table (each by its usageByCode).
constexpr int kDimensions = 5;

// A row whose minute and key are there already adds to it.
#define ADD_TO_PRESENT \
  " ON CONFLICT DO UPDATE SET bytes = bytes + excluded.bytes, pkts = pkts + excluded.pkts, flows = flows + excluded.flows"

// Texts and keys known to have an id; cleared when they grow past this.
constexpr size_t kNameCacheLimit = 200000;
constexpr size_t kKeyCacheLimit = 500000;
// Names and keys that no row uses any more are swept out this often.
constexpr int64_t kSweepMinutes = 1440;

// A key as the ids of its columns, in the order of KEY_COLUMNS.
using KeyIds = std::array<int64_t, 10>;
struct KeyIdsHash {
  size_t operator()(const KeyIds& k) const noexcept {
    size_t seed = 0;
    for (int64_t v : k) seed ^= std::hash<int64_t>()(v) + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
    return seed;
  }
};

}  // namespace

struct HistoryFile {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* addTotal = nullptr;
  sqlite3_stmt* addName = nullptr;
  sqlite3_stmt* findName = nullptr;
  sqlite3_stmt* addKey = nullptr;
  sqlite3_stmt* findKey = nullptr;
  std::string path;
  std::unordered_map<std::string, int64_t> nameIds;
  std::unordered_map<KeyIds, int64_t, KeyIdsHash> keyIds;
  int64_t sweptAt = 0;  // minute of the last sweep of unused names and keys
  ~HistoryFile() {
    for (sqlite3_stmt* s : {insert, addTotal, addName, findName, addKey, findKey}) sqlite3_finalize(s);
    sqlite3_close_v2(db);
  }
};

namespace {

bool prepare(sqlite3* db, const char* sql, sqlite3_stmt** stmt, std::string& error) {
  if (sqlite3_prepare_v2(db, sql, -1, stmt, nullptr) == SQLITE_OK) return true;
  error = engineError(db);
  return false;
}

bool runScript(HistoryFile& f, const std::string& script, std::string& error) {
  std::string why;
  if (exec(f.db, script.c_str(), why)) return true;
  sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
  error = "cannot write to " + f.path + ": " + why;
  return false;
}

// Checks that the open file is a history this program can use, making it
// one when it is new and empty, and bringing one of version 1 to this
// version (its rows keep their numbers).
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
  const std::string stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                            "; PRAGMA user_version = " + std::to_string(kHistorySchemaVersion) + "; COMMIT;";
  if (appId == kApplicationId && version == 1) {
    return runScript(f, std::string("BEGIN IMMEDIATE; ALTER TABLE usage RENAME TO usage1;") + kTables +
                            kFromVersion1 + stamp, error);
  }
  if (appId != 0 || objects != 0) {
    error = f.path + " is not a history file: an SQLite database of another kind";
    return false;
  }
  return runScript(f, std::string("BEGIN IMMEDIATE;") + kNamesTable + kTables + stamp, error);
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

bool keyId(HistoryFile& f, const KeyIds& ids, int64_t& id, std::string& error) {
  if (auto it = f.keyIds.find(ids); it != f.keyIds.end()) {
    id = it->second;
    return true;
  }
  for (int i = 0; i < 10; ++i) {
    sqlite3_bind_int64(f.addKey, i + 1, ids[i]);
    sqlite3_bind_int64(f.findKey, i + 1, ids[i]);
  }
  const int added = sqlite3_step(f.addKey);
  sqlite3_reset(f.addKey);
  const int found = sqlite3_step(f.findKey);
  if (found == SQLITE_ROW) id = sqlite3_column_int64(f.findKey, 0);
  sqlite3_reset(f.findKey);
  if (added != SQLITE_DONE || found != SQLITE_ROW) {
    error = engineError(f.db);
    return false;
  }
  if (f.keyIds.size() >= kKeyCacheLimit) f.keyIds.clear();
  f.keyIds.emplace(ids, id);
  return true;
}

bool stepAll(HistoryFile& f, sqlite3_stmt* s, const int64_t* values, int count, std::string& error) {
  for (int i = 0; i < count; ++i) sqlite3_bind_int64(s, i + 1, values[i]);
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc == SQLITE_DONE) return true;
  error = engineError(f.db);
  return false;
}

bool insertRows(HistoryFile& f, const HistoryMinutes& minutes, std::string& error) {
  // Rows in the tables' order, so that the pages they fill stay full.
  using Row = std::array<int64_t, 5>;  // minute, key, bytes, pkts, flows
  using Slot = std::array<int64_t, 3>;  // dimension, slot, value
  std::vector<Row> rows;
  rows.reserve(minutes.size());
  std::map<Slot, std::array<int64_t, 3>> totals;
  for (const auto& [mk, t] : minutes) {
    const HistoryKey& k = mk.key;
    KeyIds ids{};
    int64_t& process = ids[0];
    int64_t& peer = ids[1];
    int64_t& user = ids[6];
    int64_t& peername = ids[8];
    int64_t& service = ids[9];
    if (!nameId(f, k.process, process, error) || !nameId(f, k.peer, peer, error) || !nameId(f, k.user, user, error) ||
        !nameId(f, k.domain, ids[7], error) || !nameId(f, k.peername, peername, error) ||
        !nameId(f, k.service, service, error)) {
      return false;
    }
    ids[2] = k.remoteport;
    ids[3] = k.localport;
    ids[4] = k.direction;
    ids[5] = k.proto;
    int64_t key = 0;
    if (!keyId(f, ids, key, error)) return false;
    const auto minute = static_cast<int64_t>(mk.minute);
    rows.push_back(Row{minute, key, static_cast<int64_t>(t.bytes), static_cast<int64_t>(t.pkts),
                       static_cast<int64_t>(t.flows)});
    const int64_t slot = minute / kSlotMinutes;
    const int64_t values[kDimensions] = {process, k.peername.empty() ? peer : peername, service,
                                         int64_t{k.proto} * 65536 + k.remoteport + k.localport, user};
    const UsageBy order[kDimensions] = {UsageBy::process, UsageBy::peer, UsageBy::service, UsageBy::port,
                                        UsageBy::user};
    for (int d = 0; d < kDimensions; ++d) {
      auto& sum = totals[Slot{usageByCode(order[d]), slot, values[d]}];
      sum[0] += rows.back()[2];
      sum[1] += rows.back()[3];
      sum[2] += rows.back()[4];
    }
  }
  std::sort(rows.begin(), rows.end());
  for (const Row& row : rows) {
    if (!stepAll(f, f.insert, row.data(), 5, error)) return false;
  }
  for (const auto& [slot, sum] : totals) {
    const int64_t values[6] = {slot[0], slot[1], slot[2], sum[0], sum[1], sum[2]};
    if (!stepAll(f, f.addTotal, values, 6, error)) return false;
  }
  return true;
}

bool runWith(sqlite3* db, const char* sql, int64_t value, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  if (!prepare(db, sql, &stmt, error)) return false;
  sqlite3_bind_int64(stmt, 1, value);
  const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
  if (!ok) error = engineError(db);
  sqlite3_finalize(stmt);
  return ok;
}

// Totals of the half hours before `minute` leave with their rows.
bool dropTotalsBefore(sqlite3* db, int64_t minute, std::string& error) {
  return runWith(db, "DELETE FROM totals WHERE dimension IN (0, 1, 2, 3, 4) AND slot < ?", minute / kSlotMinutes,
                 error);
}

// The minutes before `minute` (a whole hour) become hours.
bool mergeMinutesBefore(sqlite3* db, int64_t minute, std::string& error) {
  return runWith(db,
                 "INSERT INTO hours (hour, key, bytes, pkts, flows)"
                 " SELECT minute / 60, key, sum(bytes), sum(pkts), sum(flows) FROM usage WHERE minute < ?1"
                 " GROUP BY 1, 2" ADD_TO_PRESENT,
                 minute, error) &&
         runWith(db, "DELETE FROM usage WHERE minute < ?", minute, error);
}

// Names and keys that no row uses any more leave; the caches forget them.
bool sweepUnused(HistoryFile& f, std::string& error) {
  f.nameIds.clear();
  f.keyIds.clear();
  return exec(f.db,
              "DELETE FROM keys WHERE id NOT IN (SELECT key FROM usage UNION SELECT key FROM hours);"
              "DELETE FROM names WHERE text != '' AND id NOT IN (SELECT process FROM keys UNION SELECT peer FROM keys"
              " UNION SELECT user FROM keys UNION SELECT domain FROM keys UNION SELECT peername FROM keys"
              " UNION SELECT service FROM keys UNION SELECT value FROM totals WHERE dimension IN (0, 1, 2, 4));",
              error);
}

// The key column of a usage question over keys `k`, and how its value
// becomes the key's text.
const char* keyExpression(UsageBy by) {
  switch (by) {
    case UsageBy::process: return "k.process";
    case UsageBy::user: return "k.user";
    case UsageBy::service: return "k.service";
    case UsageBy::peer: return PEER_OR_NAME("k.");
    case UsageBy::port: return PORT_VALUE("k.");
  }
  return "k.process";
}

std::string portKey(int64_t value) {
  const int proto = static_cast<int>(value / 65536);
  const int port = static_cast<int>(value % 65536);
  return usagePortKey(proto, port);
}

// Sums per key value and step, from rows of the question's range: per
// value, its steps in the order the rows come (by time). Summed here rather
// than by the engine, whose grouping sorts every row first.
struct Cells {
  struct Cell {
    size_t step;
    uint64_t bytes, pkts, flows;
  };
  std::unordered_map<int64_t, std::vector<Cell>> byValue;
};

// Runs `sql`, whose rows are (key value, minute, bytes, pkts, flows), and
// adds each row to the cell of its value and step.
bool collect(sqlite3* db, const std::string& sql, const UsageQuery& q, int64_t first, int64_t last, Cells& out,
             std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  if (!prepare(db, sql.c_str(), &stmt, error)) return false;
  auto bind = [stmt](const char* name, int64_t value) {
    if (int i = sqlite3_bind_parameter_index(stmt, name); i > 0) sqlite3_bind_int64(stmt, i, value);
  };
  auto bindName = [stmt](const char* name, const std::string& text) {
    if (int i = sqlite3_bind_parameter_index(stmt, name); i > 0) bindText(stmt, i, text);
  };
  bind(":first", first);
  bind(":last", last);
  // Hours whose start is in the range.
  bind(":hfirst", (first + 59) / 60);
  bind(":hlast", (last + 59) / 60);
  bind(":sfirst", first / kSlotMinutes);
  bind(":slast", last / kSlotMinutes);
  bind(":dimension", usageByCode(q.by));
  bindName(":process", q.process);
  bindName(":peer", q.peer);
  bindName(":service", q.service);
  bind(":port", q.port);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const uint64_t at = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1)) * 60000;
    const size_t step = static_cast<size_t>((at - q.since) / q.step);
    std::vector<Cells::Cell>& cells = out.byValue[sqlite3_column_int64(stmt, 0)];
    if (cells.empty() || cells.back().step != step) cells.push_back(Cells::Cell{step, 0, 0, 0});
    cells.back().bytes += static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
    cells.back().pkts += static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    cells.back().flows += static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
  }
  if (rc != SQLITE_DONE) error = engineError(db);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

// The question from the rows of each minute and hour of minutes [:first,
// :last), through their keys.
std::string rowsQuestion(const UsageQuery& q) {
  std::string keys;
  if (!q.process.empty()) {
    keys += " AND process IN (SELECT id FROM names WHERE text = :process OR"
            " substr(text, -length(:process) - 1) IN ('/' || :process, '\\' || :process))";
  }
  if (!q.peer.empty()) {
    keys += " AND (peer IN (SELECT id FROM names WHERE text = :peer) OR"
            " peername IN (SELECT id FROM names WHERE text = :peer AND text != ''))";
  }
  if (!q.service.empty()) keys += " AND service IN (SELECT id FROM names WHERE text = :service)";
  if (q.port >= 0) keys += " AND (remoteport = :port OR localport = :port)";
  const std::string only = keys.empty() ? "" : " AND key IN (SELECT id FROM keys WHERE 1" + keys + ")";
  return std::string("SELECT ") + keyExpression(q.by) + ", u.minute, u.bytes, u.pkts, u.flows FROM ("
         "SELECT minute, key, bytes, pkts, flows FROM usage WHERE minute >= :first AND minute < :last" + only +
         " UNION ALL SELECT hour * 60, key, bytes, pkts, flows FROM hours WHERE hour >= :hfirst AND hour < :hlast" +
         only + ") AS u CROSS JOIN keys AS k ON k.id = u.key";
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
  if (!prepare(f->db, "INSERT INTO usage (minute, key, bytes, pkts, flows) VALUES (?, ?, ?, ?, ?)" ADD_TO_PRESENT,
               &f->insert, why) ||
      !prepare(f->db,
               "INSERT INTO totals (dimension, slot, value, bytes, pkts, flows) VALUES (?, ?, ?, ?, ?, ?)" ADD_TO_PRESENT,
               &f->addTotal, why) ||
      !prepare(f->db, "INSERT OR IGNORE INTO names (text) VALUES (?)", &f->addName, why) ||
      !prepare(f->db, "SELECT id FROM names WHERE text = ?", &f->findName, why) ||
      !prepare(f->db, "INSERT OR IGNORE INTO keys (" KEY_COLUMNS ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               &f->addKey, why) ||
      !prepare(f->db,
               "SELECT id FROM keys WHERE process = ? AND peer = ? AND remoteport = ? AND localport = ? AND"
               " direction = ? AND proto = ? AND user = ? AND domain = ? AND peername = ? AND service = ?",
               &f->findKey, why)) {
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
  f.keyIds.clear();
  error = "cannot write to " + f.path + ": " + why;
  return false;
}

bool trimHistory(HistoryFile& f, uint64_t nowMinute, uint32_t days, uint64_t maxBytes, std::string& error) {
  const int64_t now = static_cast<int64_t>(nowMinute);
  const int64_t hoursBefore = (now - 1440) / 60 * 60;
  const int64_t oldest = now - int64_t{days} * 1440;
  std::string why;
  bool ok = exec(f.db, "BEGIN IMMEDIATE", why) &&
            runWith(f.db, "DELETE FROM usage WHERE minute < ?", oldest, why) &&
            runWith(f.db, "DELETE FROM hours WHERE hour < ?", (oldest + 59) / 60, why) &&
            dropTotalsBefore(f.db, oldest, why) &&
            mergeMinutesBefore(f.db, hoursBefore, why) &&
            (now - f.sweptAt < kSweepMinutes || sweepUnused(f, why)) && exec(f.db, "COMMIT", why);
  if (ok && now - f.sweptAt >= kSweepMinutes) f.sweptAt = now;
  // While the data is over its bound, the oldest minutes become hours
  // (all but the last hour's and this hour's), then the oldest hours leave
  // (then the oldest minutes). The pages freed are used again for new rows.
  const int64_t minutesKeptFrom = now / 60 * 60 - 60;
  for (int round = 0; ok && round < 1000; ++round) {
    uint64_t used = 0;
    if (!historyBytes(f, used, why)) return false;
    if (used <= maxBytes) break;
    int64_t oldestMinute = 0, hours = 0, start = 0;
    ok = queryInt(f.db, "SELECT coalesce((SELECT min(minute) FROM usage), -1)", oldestMinute, why) &&
         queryInt(f.db, "SELECT count(*) FROM (SELECT 1 FROM hours LIMIT 1)", hours, why);
    if (ok && oldestMinute >= 0 && oldestMinute < minutesKeptFrom) {
      ok = exec(f.db, "BEGIN IMMEDIATE", why) && mergeMinutesBefore(f.db, oldestMinute / 60 * 60 + 60, why) &&
           exec(f.db, "COMMIT", why);
      continue;
    }
    if (ok && hours > 0) {
      ok = exec(f.db, "DELETE FROM hours WHERE hour = (SELECT min(hour) FROM hours)", why) &&
           queryInt(f.db, "SELECT coalesce((SELECT min(hour) * 60 FROM hours), (SELECT min(minute) FROM usage), 0)",
                    start, why);
    } else if (ok) {
      if (oldestMinute < 0) break;
      ok = runWith(f.db, "DELETE FROM usage WHERE minute < ?", oldestMinute / 60 * 60 + 60, why) &&
           queryInt(f.db, "SELECT coalesce((SELECT min(minute) FROM usage), 0)", start, why);
    }
    ok = ok && dropTotalsBefore(f.db, start, why);
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
  const auto first = static_cast<int64_t>(q.since / 60000);
  const auto last = static_cast<int64_t>((q.until + 59999) / 60000);
  const bool filtered = !q.process.empty() || !q.peer.empty() || !q.service.empty() || q.port >= 0;
  const uint64_t slotMillis = kSlotMinutes * 60000;
  Cells found;
  // Without filters, in steps of whole half hours, the totals answer all but
  // the minutes after the last whole half hour.
  if (!filtered && q.step % slotMillis == 0 && q.since % slotMillis == 0) {
    const std::string totals = "SELECT value, slot * " + std::to_string(kSlotMinutes) +
                               ", bytes, pkts, flows FROM totals"
                               " WHERE dimension = :dimension AND slot >= :sfirst AND slot < :slast";
    const int64_t edge = last / kSlotMinutes * kSlotMinutes;
    if (!collect(db, totals, q, first, last, found, error) || !collect(db, rowsQuestion(q), q, edge, last, found, error)) {
      return false;
    }
  } else if (!collect(db, rowsQuestion(q), q, first, last, found, error)) {
    return false;
  }

  std::unordered_map<int64_t, std::string> keys;
  for (const auto& [value, cells] : found.byValue) keys.try_emplace(value, q.by == UsageBy::port ? portKey(value) : "");
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
  // Only the top keys' cells go to the ranking by name; the others (tens
  // of thousands of peers' half hours) are summed into "(other)" here.
  std::unordered_map<std::string, uint64_t> bytesOf;
  for (const auto& [value, cells] : found.byValue) {
    uint64_t& sum = bytesOf[keys[value]];
    for (const Cells::Cell& c : cells) sum += c.bytes;
  }
  std::vector<std::pair<uint64_t, const std::string*>> ranked;
  ranked.reserve(bytesOf.size());
  for (const auto& [text, bytes] : bytesOf) ranked.emplace_back(bytes, &text);
  // Most bytes first, among equals in key order, as rankUsage does.
  std::sort(ranked.begin(), ranked.end(),
            [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : *a.second < *b.second; });
  std::unordered_map<std::string, bool> top;
  for (size_t i = 0; i < ranked.size() && i < q.limit; ++i) top.emplace(*ranked[i].second, true);
  const auto points = static_cast<size_t>((q.until - q.since + q.step - 1) / q.step);
  std::vector<UsageCell> kept;
  UsageTotal other;
  other.key = kUsageOther;
  std::vector<uint64_t> otherBytes(points, 0);
  for (const auto& [value, cells] : found.byValue) {
    const std::string& text = keys[value];
    const bool shown = top.count(text) != 0;
    for (const Cells::Cell& c : cells) {
      if (shown) {
        kept.push_back(UsageCell{text, c.step, c.bytes, c.pkts, c.flows});
        continue;
      }
      other.bytes += c.bytes;
      other.pkts += c.pkts;
      other.flows += c.flows;
      if (c.step < points) otherBytes[c.step] += c.bytes;
    }
  }
  answer = rankUsage(kept, points, q.limit);
  if (ranked.size() > top.size()) {
    answer.top.push_back(other);
    answer.series.push_back(UsageSeries{kUsageOther, std::move(otherBytes)});
  }
  return true;
}
