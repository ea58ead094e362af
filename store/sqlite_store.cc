// The store as one SQLite file: one table of flows in WAL mode, marked as
// ours by its application id and versioned by its user version.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>
#include <unordered_map>

#include "store/clickhouse_store.h"
#include "store/flow_store.h"
#include "store/sqlite_common.h"

namespace {

// "VtFl": the mark of a flow store in the file's header.
constexpr int kApplicationId = 0x5674466C;

// The far end of a flow, as the index on it is defined; a query uses the
// very same expressions so that the index serves it.
#define PEER_EXPR "(CASE WHEN inif = 1 THEN srcip ELSE dstip END)"
// The far-end index leads with the minute a flow was last seen: new
// records then land in the index's last pages, as they do in the table,
// instead of all over it, and a transaction writes a few pages of it
// instead of one page per record. A query for a peer names the minutes:
// those in which some record was last seen, from the question's first on,
// each found by one step along the index on lastseen, so that a record far
// in the future or the past costs one step, not a walk through the years
// in between.
#define MINUTE_EXPR "lastseen / 60000"
#define MINUTES_CTE                                                                                        \
  "WITH RECURSIVE minutes(m) AS (SELECT (SELECT min(lastseen) FROM flows WHERE lastseen >= :firstminute * " \
  "60000) / 60000 UNION ALL SELECT (SELECT min(lastseen) FROM flows WHERE lastseen >= (m + 1) * 60000) / "  \
  "60000 FROM minutes WHERE m IS NOT NULL) "

const char* const kSchema =
    "CREATE TABLE flows ("
    " exporter BLOB NOT NULL, obsdomain INTEGER NOT NULL,"
    " firstseen INTEGER NOT NULL, lastseen INTEGER NOT NULL,"
    " srcip BLOB NOT NULL, dstip BLOB NOT NULL, srcport INTEGER NOT NULL, dstport INTEGER NOT NULL,"
    " proto INTEGER NOT NULL, tos INTEGER NOT NULL, pkts INTEGER NOT NULL, bytes INTEGER NOT NULL,"
    " flags INTEGER NOT NULL, replydelay INTEGER NOT NULL, inif INTEGER NOT NULL, outif INTEGER NOT NULL,"
    " processname TEXT NOT NULL, user TEXT NOT NULL, domain TEXT NOT NULL,"
    " peername TEXT NOT NULL DEFAULT '', namesource TEXT NOT NULL DEFAULT '',"
    " service TEXT NOT NULL DEFAULT '', container TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX flows_lastseen ON flows(lastseen);"
    "CREATE INDEX flows_peer ON flows(" MINUTE_EXPR ", " PEER_EXPR ");";

// Serves the usage question (bytes by process per step over a range)
// from the index alone, for all exporters or one.
const char* const kUsageIndex =
    "CREATE INDEX IF NOT EXISTS flows_usage ON flows(lastseen, processname, exporter, bytes, pkts);";

// Half-hour sums of the usage groupings (process, peer, service, port,
// user), per exporter and, under the exporter x'00' (no address is one
// byte long), for all exporters together. key1 and key2 are the grouping's
// two key columns as usageKeyColumns gives them (x'' for none). Rows are
// kept in the order of grouping, exporter and half hour: a question is one
// stretch of the table, and a batch's sums land at the end of each stretch.
// Added to in the flows' own transaction; a store of version 2 gets the
// table, filled from its flows, when it is opened for writing.
constexpr uint64_t kSlotMillis = 30 * 60000;
constexpr int kGroupings = 5;
const char* const kTotalsTable =
    "CREATE TABLE usage_totals (grouping INTEGER NOT NULL, exporter BLOB NOT NULL, slot INTEGER NOT NULL,"
    " key1 NOT NULL, key2 NOT NULL, bytes INTEGER NOT NULL, pkts INTEGER NOT NULL, flows INTEGER NOT NULL,"
    " PRIMARY KEY (grouping, exporter, slot, key1, key2)) WITHOUT ROWID;";
const char* const kAddToTotals =
    "INSERT INTO usage_totals VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO UPDATE SET"
    " bytes = CASE WHEN bytes > 9223372036854775807 - excluded.bytes THEN 9223372036854775807"
    " ELSE bytes + excluded.bytes END,"
    " pkts = CASE WHEN pkts > 9223372036854775807 - excluded.pkts THEN 9223372036854775807"
    " ELSE pkts + excluded.pkts END, flows = flows + excluded.flows";
constexpr int kStoreVersion2 = 2;  // no usage_totals

const char* const kColumns =
    "exporter, obsdomain, firstseen, lastseen, srcip, dstip, srcport, dstport, proto, tos, pkts, bytes, flags, "
    "replydelay, inif, outif, processname, user, domain, peername, namesource, service, container";

// A version 1 store has none of the last four columns (the peer's name, its
// source, service and container): read for queries, they are empty; opened
// for writing, it gets the columns.
constexpr int kStoreVersion1 = 1;
const char* const kAddVersion2Columns =
    "ALTER TABLE flows ADD COLUMN peername TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE flows ADD COLUMN namesource TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE flows ADD COLUMN service TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE flows ADD COLUMN container TEXT NOT NULL DEFAULT '';";

// One open file and the statements kept for it; closed with the last
// operation that holds it.
struct SqliteFile {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* addTotals = nullptr;
  std::string path;
  bool version2 = true;  // false: a version 1 store read as it is, without the last four columns
  bool totals = true;    // false: a store of version 1 or 2 read as it is, without usage_totals
  int64_t totalsKeptFrom = 0;  // the first half hour not yet trimmed from usage_totals
  ~SqliteFile() {
    sqlite3_finalize(insert);
    sqlite3_finalize(addTotals);
    sqlite3_close_v2(db);
  }
};

void bindAddress(sqlite3_stmt* stmt, int index, const StoreAddress& a) {
  sqlite3_bind_blob(stmt, index, a.bytes, a.size, SQLITE_STATIC);
}

StoreAddress columnAddress(sqlite3_stmt* stmt, int column) {
  StoreAddress a;
  const int size = sqlite3_column_bytes(stmt, column);
  if (size == 4 || size == 16) {
    a.size = static_cast<uint8_t>(size);
    std::memcpy(a.bytes, sqlite3_column_blob(stmt, column), size);
  }
  return a;
}

const std::string kEmpty;

// What usage_totals takes of one flow; the texts are views of the caller's.
struct TotalsRow {
  StoreAddress exporter, peer;
  uint64_t lastseen = 0, bytes = 0, pkts = 0;
  uint8_t proto = 0;
  uint16_t port = 0;  // the lower of the two ports
  std::string_view process, user, service, peername;
};

TotalsRow totalsRowOf(const StoredFlow& r) {
  TotalsRow t;
  t.exporter = r.exporter;
  t.peer = r.inif == 1 ? r.srcip : r.dstip;
  t.lastseen = r.lastseen;
  t.bytes = r.bytes;
  t.pkts = r.pkts;
  t.proto = r.proto;
  t.port = std::min(r.srcport, r.dstport);
  if (r.owner) {
    t.process = r.owner->processname;
    t.user = r.owner->user;
    t.service = r.owner->service;
  }
  t.peername = r.peerName.text();
  return t;
}

// One row of usage_totals being summed for a batch.
struct TotalsCell {
  int grouping = 0;
  bool allExporters = false;
  StoreAddress exporter;
  int64_t slot = 0;
  bool named = true;       // key1 is `name`; else the protocol in `number`
  std::string_view name;
  int64_t number = 0;
  StoreAddress address;    // key2 of the peer grouping
  int64_t port = -1;       // key2 of the port grouping; -1: `address`
  auto tied() const {
    return std::make_tuple(grouping, allExporters, exporter.size,
                           std::string_view(reinterpret_cast<const char*>(exporter.bytes), exporter.size), slot,
                           named, name, number, address.size,
                           std::string_view(reinterpret_cast<const char*>(address.bytes), address.size), port);
  }
  bool operator<(const TotalsCell& o) const { return tied() < o.tied(); }
  bool operator==(const TotalsCell& o) const { return tied() == o.tied(); }
};

struct TotalsCellHash {
  size_t operator()(const TotalsCell& c) const {
    const auto bytes = [](const StoreAddress& a) {
      return std::string_view(reinterpret_cast<const char*>(a.bytes), a.size);
    };
    size_t h = std::hash<std::string_view>()(c.name);
    for (size_t part : {std::hash<std::string_view>()(bytes(c.exporter)), std::hash<std::string_view>()(bytes(c.address)),
                        size_t(c.slot), size_t(c.grouping) << 1 | c.allExporters, size_t(c.number) << 20 ^ size_t(c.port)}) {
      h ^= part + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    }
    return h;
  }
};

struct TotalsSums {
  int64_t bytes = 0, pkts = 0, flows = 0;
};

// a + b for counts of 0 to 2^63-1, held at 2^63-1 as stored counts are.
int64_t addHeld(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// Adds `rows` to usage_totals, inside the caller's transaction.
bool addTotals(SqliteFile& f, const std::vector<TotalsRow>& rows, std::string& error) {
  std::unordered_map<TotalsCell, TotalsSums, TotalsCellHash> sums;
  for (const TotalsRow& r : rows) {
    TotalsCell c;
    c.exporter = r.exporter;
    c.slot = static_cast<int64_t>(storeValue(r.lastseen) / kSlotMillis);
    const int64_t bytes = static_cast<int64_t>(storeValue(r.bytes)), pkts = static_cast<int64_t>(storeValue(r.pkts));
    for (int g = 0; g < kGroupings; ++g) {
      c.grouping = g;
      c.named = g != 3;
      c.address = g == 1 ? r.peer : StoreAddress();
      c.number = g == 3 ? r.proto : 0;
      c.port = g != 3 ? -1 : r.proto == 6 || r.proto == 17 ? r.port : 0;
      c.name = g == 0 ? r.process : g == 1 ? r.peername : g == 2 ? r.service : g == 4 ? r.user : std::string_view();
      for (bool all : {false, true}) {
        c.allExporters = all;
        TotalsSums& s = sums[c];
        s.bytes = addHeld(s.bytes, bytes);
        s.pkts = addHeld(s.pkts, pkts);
        ++s.flows;
      }
    }
  }
  static const uint8_t kAll = 0;
  // In the table's order: each stretch of it is written front to back.
  std::vector<std::pair<TotalsCell, TotalsSums>> sorted(sums.begin(), sums.end());
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  sqlite3_stmt* s = f.addTotals;
  for (const auto& [c, sum] : sorted) {
    sqlite3_bind_int(s, 1, c.grouping);
    if (c.allExporters) {
      sqlite3_bind_blob(s, 2, &kAll, 1, SQLITE_STATIC);
    } else {
      bindAddress(s, 2, c.exporter);
    }
    sqlite3_bind_int64(s, 3, c.slot);
    if (c.named) {
      sqlite3_bind_text(s, 4, c.name.empty() ? "" : c.name.data(), static_cast<int>(c.name.size()), SQLITE_STATIC);
    } else {
      sqlite3_bind_int64(s, 4, c.number);
    }
    if (c.port >= 0) {
      sqlite3_bind_int64(s, 5, c.port);
    } else {
      bindAddress(s, 5, c.address);
    }
    sqlite3_bind_int64(s, 6, sum.bytes);
    sqlite3_bind_int64(s, 7, sum.pkts);
    sqlite3_bind_int64(s, 8, sum.flows);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
      error = engineError(f.db);
      return false;
    }
  }
  return true;
}

bool writeBatch(SqliteFile& f, const std::vector<StoredFlow>& batch, std::string& error) {
  if (!exec(f.db, "BEGIN IMMEDIATE", error)) return false;
  sqlite3_stmt* s = f.insert;
  for (const StoredFlow& r : batch) {
    bindAddress(s, 1, r.exporter);
    sqlite3_bind_int64(s, 2, r.obsdomain);
    sqlite3_bind_int64(s, 3, static_cast<int64_t>(storeValue(r.firstseen)));
    sqlite3_bind_int64(s, 4, static_cast<int64_t>(storeValue(r.lastseen)));
    bindAddress(s, 5, r.srcip);
    bindAddress(s, 6, r.dstip);
    sqlite3_bind_int(s, 7, r.srcport);
    sqlite3_bind_int(s, 8, r.dstport);
    sqlite3_bind_int(s, 9, r.proto);
    sqlite3_bind_int(s, 10, r.tos);
    sqlite3_bind_int64(s, 11, static_cast<int64_t>(storeValue(r.pkts)));
    sqlite3_bind_int64(s, 12, static_cast<int64_t>(storeValue(r.bytes)));
    sqlite3_bind_int(s, 13, r.flags);
    sqlite3_bind_int(s, 14, r.replydelay);
    sqlite3_bind_int(s, 15, r.inif);
    sqlite3_bind_int(s, 16, r.outif);
    bindText(s, 17, r.owner ? r.owner->processname : kEmpty);
    bindText(s, 18, r.owner ? r.owner->user : kEmpty);
    bindText(s, 19, r.owner ? r.owner->domain : kEmpty);
    bindText(s, 20, r.peerName.text());
    sqlite3_bind_text(s, 21, r.peerName ? nameSourceText(r.peerName.source()) : "", -1, SQLITE_STATIC);
    bindText(s, 22, r.owner ? r.owner->service : kEmpty);
    bindText(s, 23, r.owner ? r.owner->container : kEmpty);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
      error = engineError(f.db);
      sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  }
  std::vector<TotalsRow> rows;
  rows.reserve(batch.size());
  for (const StoredFlow& r : batch) rows.push_back(totalsRowOf(r));
  if (!addTotals(f, rows, error)) {
    sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  if (exec(f.db, "COMMIT", error)) return true;
  sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

// A column of `f`'s flows: the four columns of version 2 are '' in a version 1 store.
std::string columnOf(const SqliteFile& f, const char* name) {
  const bool added = strcmp(name, "peername") == 0 || strcmp(name, "namesource") == 0 ||
                     strcmp(name, "service") == 0 || strcmp(name, "container") == 0;
  return added && !f.version2 ? "''" : name;
}

// kColumns as `f` can answer them.
std::string columnsOf(const SqliteFile& f) {
  return f.version2 ? kColumns
                    : std::string(kColumns, strlen(kColumns) - strlen("peername, namesource, service, container")) +
                          "'', '', '', ''";
}

// The WHERE clause of `q`, with named parameters that bindQuery fills.
std::string whereClause(const SqliteFile& f, const FlowQuery& q) {
  std::string w = "1";
  if (q.since > 0) w += " AND lastseen >= :since";
  if (q.until != UINT64_MAX) w += " AND firstseen <= :until";
  if (q.host.size != 0) w += " AND exporter = :host";
  if (!q.process.empty()) {
    w += " AND (processname = :process OR substr(processname, -length(:process) - 1) IN ('/' || :process, '\\' || "
         ":process))";
  }
  if (!q.user.empty()) w += " AND user = :user";
  if (!q.service.empty()) w += " AND " + columnOf(f, "service") + " = :service";
  if (!q.container.empty()) w += " AND " + columnOf(f, "container") + " = :container";
  if (!q.peerName.empty()) {
    const std::string name = columnOf(f, "peername");
    w += " AND (" + name + " = :peername OR substr(" + name + ", -length(:peername) - 1) = '.' || :peername)";
  }
  if (q.top == TopKind::names) w += " AND " + columnOf(f, "peername") + " != ''";
  if (q.peerLow.size != 0) {
    w += " AND " MINUTE_EXPR " IN minutes AND " PEER_EXPR " BETWEEN :peerlow AND :peerhigh AND length(" PEER_EXPR
         ") = :peersize";
  }
  if (q.port >= 0 || q.top == TopKind::ports) w += " AND proto IN (6, 17)";
  if (q.port >= 0) w += " AND (srcport = :port OR dstport = :port)";
  return w;
}

void bindQuery(sqlite3_stmt* stmt, const FlowQuery& q) {
  auto index = [stmt](const char* name) { return sqlite3_bind_parameter_index(stmt, name); };
  sqlite3_bind_int64(stmt, index(":since"), static_cast<int64_t>(storeValue(q.since)));
  sqlite3_bind_int64(stmt, index(":until"), static_cast<int64_t>(storeValue(q.until)));
  bindAddress(stmt, index(":host"), q.host);
  bindText(stmt, index(":process"), q.process);
  bindText(stmt, index(":user"), q.user);
  bindText(stmt, index(":service"), q.service);
  bindText(stmt, index(":container"), q.container);
  bindText(stmt, index(":peername"), q.peerName);
  bindAddress(stmt, index(":peerlow"), q.peerLow);
  bindAddress(stmt, index(":peerhigh"), q.peerHigh);
  sqlite3_bind_int(stmt, index(":peersize"), q.peerLow.size);
  sqlite3_bind_int(stmt, index(":port"), q.port);
  sqlite3_bind_int64(stmt, index(":limit"), q.limit == 0 ? -1 : static_cast<int64_t>(q.limit));
}

// Prepares `sql` with the query's parameters and calls `onRow` per row.
bool runQuery(SqliteFile& f, const std::string& sql, const FlowQuery& q,
              const std::function<void(sqlite3_stmt*)>& onRow, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  const std::string text = (q.peerLow.size != 0 ? MINUTES_CTE : "") + sql;
  if (sqlite3_prepare_v2(f.db, text.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    error = engineError(f.db);
    return false;
  }
  bindQuery(stmt, q);
  sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":firstminute"),
                     static_cast<int64_t>(storeValue(q.since) / 60000));
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) onRow(stmt);
  if (rc != SQLITE_DONE) error = engineError(f.db);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

StoredFlow flowFromRow(sqlite3_stmt* s) {
  StoredFlow r;
  r.exporter = columnAddress(s, 0);
  r.obsdomain = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
  r.firstseen = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
  r.lastseen = static_cast<uint64_t>(sqlite3_column_int64(s, 3));
  r.srcip = columnAddress(s, 4);
  r.dstip = columnAddress(s, 5);
  r.srcport = static_cast<uint16_t>(sqlite3_column_int(s, 6));
  r.dstport = static_cast<uint16_t>(sqlite3_column_int(s, 7));
  r.proto = static_cast<uint8_t>(sqlite3_column_int(s, 8));
  r.tos = static_cast<uint8_t>(sqlite3_column_int(s, 9));
  r.pkts = static_cast<uint64_t>(sqlite3_column_int64(s, 10));
  r.bytes = static_cast<uint64_t>(sqlite3_column_int64(s, 11));
  r.flags = static_cast<uint8_t>(sqlite3_column_int(s, 12));
  r.replydelay = static_cast<uint16_t>(sqlite3_column_int(s, 13));
  r.inif = static_cast<uint8_t>(sqlite3_column_int(s, 14));
  r.outif = static_cast<uint8_t>(sqlite3_column_int(s, 15));
  r.owner = makeOwner(columnText(s, 16), columnText(s, 17), columnText(s, 18), columnText(s, 21), columnText(s, 22));
  r.peerName = PeerName::make(columnText(s, 19), nameSourceByText(columnText(s, 20)));
  return r;
}

bool topRows(SqliteFile& f, const FlowQuery& q, std::vector<TopRow>& rows, std::string& error) {
  const std::string key = q.top == TopKind::hosts       ? "exporter, 0"
                          : q.top == TopKind::processes ? "processname, 0"
                          : q.top == TopKind::services  ? columnOf(f, "service") + ", 0"
                          : q.top == TopKind::names     ? columnOf(f, "peername") + ", 0"
                          : q.top == TopKind::peers     ? PEER_EXPR ", 0"
                                                        : "proto, min(srcport, dstport)";
  const std::string sql = "SELECT " + key + ", sum(bytes), sum(pkts), count(*) FROM flows WHERE " +
                          whereClause(f, q) + " GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2 LIMIT :limit";
  rows.clear();
  return runQuery(
      f, sql, q,
      [&](sqlite3_stmt* s) {
        TopRow row;
        if (q.top == TopKind::ports) {
          row.proto = static_cast<uint8_t>(sqlite3_column_int(s, 0));
          row.port = static_cast<uint16_t>(sqlite3_column_int(s, 1));
        } else if (q.top == TopKind::processes || q.top == TopKind::services || q.top == TopKind::names) {
          row.key = columnText(s, 0);
        } else {
          row.key = columnAddress(s, 0).text();
        }
        row.bytes = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
        row.pkts = static_cast<uint64_t>(sqlite3_column_int64(s, 3));
        row.flows = static_cast<uint64_t>(sqlite3_column_int64(s, 4));
        rows.push_back(row);
      },
      error);
}

// Removes the half hours that end by `before` from usage_totals, once per
// half hour: per grouping and exporter (found one step along the key
// each), so that the delete is one stretch of the table each.
bool trimTotals(SqliteFile& f, uint64_t before, std::string& error) {
  const auto keepFrom = static_cast<int64_t>(storeValue(before) / kSlotMillis);
  if (!f.totals || keepFrom <= f.totalsKeptFrom) return true;
  const char* sql =
      "WITH RECURSIVE exporters(e) AS (SELECT (SELECT min(exporter) FROM usage_totals WHERE grouping = ?1) UNION ALL"
      " SELECT (SELECT min(exporter) FROM usage_totals WHERE grouping = ?1 AND exporter > e) FROM exporters WHERE e"
      " IS NOT NULL) DELETE FROM usage_totals WHERE grouping = ?1 AND exporter IN (SELECT e FROM exporters) AND slot"
      " < ?2";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(f.db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    error = engineError(f.db);
    return false;
  }
  bool ok = true;
  for (int g = 0; ok && g < kGroupings; ++g) {
    sqlite3_bind_int(stmt, 1, g);
    sqlite3_bind_int64(stmt, 2, keepFrom);
    ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
  }
  if (!ok) error = engineError(f.db);
  sqlite3_finalize(stmt);
  if (ok) f.totalsKeptFrom = keepFrom;
  return ok;
}

// The two key columns of a usage question's groups.
std::string usageKeyColumns(const SqliteFile& f, UsageBy by) {
  switch (by) {
    case UsageBy::process: return "processname, NULL";
    case UsageBy::user: return "user, NULL";
    case UsageBy::service: return columnOf(f, "service") + ", NULL";
    case UsageBy::peer: return columnOf(f, "peername") + ", " PEER_EXPR;
    case UsageBy::port: return "proto, CASE WHEN proto IN (6, 17) THEN min(srcport, dstport) ELSE 0 END";
  }
  return "processname, NULL";
}

// Sums a usage statement's rows (key1, key2, time, bytes, pkts, flows) into
// the groups of their key and step. Summed here rather than by GROUP BY:
// the rows come in the index's order, and sorting millions of them for the
// engine's grouping costs many times the walk itself.
struct UsageSummer {
  UsageBy by;
  uint64_t since, step;
  std::vector<UsageGroup>& groups;
  std::unordered_map<std::string, size_t> keyIds;  // the key's two columns' bytes, joined
  std::unordered_map<uint64_t, size_t> cellIds;    // key id and step -> index in groups
  std::string probe;

  void add(sqlite3_stmt* stmt) {
    const char* k1 = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
    const int n1 = sqlite3_column_bytes(stmt, 0);
    const char* k2 = static_cast<const char*>(sqlite3_column_blob(stmt, 1));
    const int n2 = sqlite3_column_bytes(stmt, 1);
    probe.assign(k1 == nullptr ? "" : k1, static_cast<size_t>(n1));
    probe += '\0';
    probe.append(k2 == nullptr ? "" : k2, static_cast<size_t>(n2));
    auto key = keyIds.find(probe);
    if (key == keyIds.end()) key = keyIds.emplace(probe, keyIds.size()).first;
    const uint64_t stepIndex = (static_cast<uint64_t>(sqlite3_column_int64(stmt, 2)) - since) / step;
    auto [cell, added] = cellIds.try_emplace(uint64_t(key->second) << 32 | stepIndex, groups.size());
    if (added) {
      UsageGroup& g = groups.emplace_back();
      if (by == UsageBy::port) {
        g.proto = static_cast<uint8_t>(sqlite3_column_int(stmt, 0));
        g.port = static_cast<uint16_t>(sqlite3_column_int(stmt, 1));
      } else {
        g.name = columnText(stmt, 0);
        g.address = columnAddress(stmt, 1);
      }
      g.step = static_cast<size_t>(stepIndex);
    }
    UsageGroup& g = groups[cell->second];
    g.bytes += static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    g.pkts += static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
    g.flows += static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
  }
};

bool usageGroups(SqliteFile& f, const UsageQuery& q, std::vector<UsageGroup>& groups, std::string& error) {
  StoreAddress host, peer;
  if (!q.host.empty() && !parseStoreAddress(q.host, host)) {
    error = "host " + q.host + " is not an address";
    return false;
  }
  const uint64_t since = storeValue(q.since), step = q.step == 0 ? 60000 : q.step;
  // Whole minutes, as the collector's ClickHouse tables and the monitor's
  // history count them: the range ends with the minute `until` falls in.
  const uint64_t until = storeValue((q.until + 59999) / 60000 * 60000);
  // With no filter but the host, in steps of whole half hours, the half
  // hours before the last whole one come from usage_totals, the minutes
  // after it from the flows.
  const bool filtered = !q.process.empty() || !q.peer.empty() || !q.service.empty() || q.port >= 0;
  const uint64_t edge = until / kSlotMillis * kSlotMillis;
  const bool fromTotals = f.totals && !filtered && step % kSlotMillis == 0 && since % kSlotMillis == 0 && edge > since;
  UsageSummer summer{q.by, since, step, groups, {}, {}, {}};
  auto run = [&](const std::string& sql, uint64_t from) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(f.db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      error = engineError(f.db);
      return false;
    }
    auto index = [stmt](const char* name) { return sqlite3_bind_parameter_index(stmt, name); };
    sqlite3_bind_int64(stmt, index(":from"), static_cast<int64_t>(from));
    sqlite3_bind_int64(stmt, index(":until"), static_cast<int64_t>(until));
    sqlite3_bind_int64(stmt, index(":sfirst"), static_cast<int64_t>(since / kSlotMillis));
    sqlite3_bind_int64(stmt, index(":slast"), static_cast<int64_t>(edge / kSlotMillis));
    sqlite3_bind_int(stmt, index(":grouping"), usageByCode(q.by));
    static const uint8_t kAll = 0;
    if (q.host.empty()) {
      sqlite3_bind_blob(stmt, index(":exporter"), &kAll, 1, SQLITE_STATIC);
    } else {
      bindAddress(stmt, index(":exporter"), host);
    }
    bindAddress(stmt, index(":host"), host);
    bindText(stmt, index(":process"), q.process);
    bindText(stmt, index(":peer"), q.peer);
    bindAddress(stmt, index(":peeraddress"), peer);
    bindText(stmt, index(":service"), q.service);
    sqlite3_bind_int(stmt, index(":port"), q.port);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) summer.add(stmt);
    if (rc != SQLITE_DONE) error = engineError(f.db);
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
  };
  if (fromTotals) {
    const std::string totals =
        "SELECT key1, key2, slot * " + std::to_string(kSlotMillis) +
        ", bytes, pkts, flows FROM usage_totals WHERE grouping = :grouping AND exporter = :exporter AND slot >= "
        ":sfirst AND slot < :slast";
    if (!run(totals, 0)) return false;
  }
  const bool peerIsAddress = !q.peer.empty() && parseStoreAddress(q.peer, peer);
  std::string sql = "SELECT " + usageKeyColumns(f, q.by) +
                    ", lastseen, bytes, pkts, 1 FROM flows WHERE lastseen >= :from AND lastseen < :until";
  if (!q.host.empty()) sql += " AND exporter = :host";
  if (!q.process.empty()) {
    sql += " AND (processname = :process OR substr(processname, -length(:process) - 1) IN ('/' || :process, '\\' || "
           ":process))";
  }
  if (!q.peer.empty()) {
    sql += " AND (" + columnOf(f, "peername") + " = :peer" + (peerIsAddress ? " OR " PEER_EXPR " = :peeraddress" : "") + ")";
  }
  if (!q.service.empty()) sql += " AND " + columnOf(f, "service") + " = :service";
  if (q.port >= 0) sql += " AND proto IN (6, 17) AND min(srcport, dstport) = :port";
  return run(sql, fromTotals ? edge : since);
}

bool listHosts(SqliteFile& f, std::vector<StoreHost>& hosts, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  const char* sql = "SELECT exporter, count(*), max(lastseen) FROM flows GROUP BY exporter ORDER BY 3 DESC, 1";
  if (sqlite3_prepare_v2(f.db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    error = engineError(f.db);
    return false;
  }
  hosts.clear();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    hosts.push_back(StoreHost{columnAddress(stmt, 0), static_cast<uint64_t>(sqlite3_column_int64(stmt, 1)),
                              static_cast<uint64_t>(sqlite3_column_int64(stmt, 2))});
  }
  if (rc != SQLITE_DONE) error = engineError(f.db);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

bool prepareTotals(SqliteFile& f, std::string& error) {
  if (f.addTotals == nullptr && sqlite3_prepare_v2(f.db, kAddToTotals, -1, &f.addTotals, nullptr) != SQLITE_OK) {
    error = engineError(f.db);
    return false;
  }
  return true;
}

// Fills a new usage_totals from the flows already stored, inside the
// caller's transaction, some 100,000 flows at a time.
bool fillTotals(SqliteFile& f, std::string& error) {
  if (!prepareTotals(f, error) || !exec(f.db, "PRAGMA cache_size = -32768", error)) return false;
  sqlite3_stmt* stmt = nullptr;
  const char* sql =
      "SELECT exporter, srcip, dstip, inif, lastseen, bytes, pkts, proto, min(srcport, dstport), processname, user,"
      " service, peername FROM flows";
  if (sqlite3_prepare_v2(f.db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    error = engineError(f.db);
    return false;
  }
  constexpr size_t kChunk = 100000;
  std::vector<std::array<std::string, 4>> texts;  // the views' owners
  std::vector<TotalsRow> rows;
  texts.reserve(kChunk);
  rows.reserve(kChunk);
  auto flush = [&] {
    for (size_t i = 0; i < rows.size(); ++i) {
      rows[i].process = texts[i][0];
      rows[i].user = texts[i][1];
      rows[i].service = texts[i][2];
      rows[i].peername = texts[i][3];
    }
    const bool ok = addTotals(f, rows, error);
    rows.clear();
    texts.clear();
    return ok;
  };
  int rc;
  bool ok = true;
  while (ok && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    TotalsRow& r = rows.emplace_back();
    r.exporter = columnAddress(stmt, 0);
    r.peer = columnAddress(stmt, sqlite3_column_int(stmt, 3) == 1 ? 1 : 2);
    r.lastseen = static_cast<uint64_t>(sqlite3_column_int64(stmt, 4));
    r.bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
    r.pkts = static_cast<uint64_t>(sqlite3_column_int64(stmt, 6));
    r.proto = static_cast<uint8_t>(sqlite3_column_int(stmt, 7));
    r.port = static_cast<uint16_t>(sqlite3_column_int(stmt, 8));
    texts.push_back({columnText(stmt, 9), columnText(stmt, 10), columnText(stmt, 11), columnText(stmt, 12)});
    if (rows.size() == kChunk) ok = flush();
  }
  if (ok && rc != SQLITE_DONE) {
    error = engineError(f.db);
    ok = false;
  }
  sqlite3_finalize(stmt);
  return ok && flush();
}

// Checks that `f` is a flow store this program can use, making it one when
// it is a new, empty file opened for writing.
StoreOpenFailure checkSchema(SqliteFile& f, bool forWriting, std::string& error) {
  int64_t appId = 0, version = 0, objects = 0;
  std::string why;
  if (!queryInt(f.db, "PRAGMA application_id", appId, why) || !queryInt(f.db, "PRAGMA user_version", version, why) ||
      !queryInt(f.db, "SELECT count(*) FROM sqlite_master", objects, why)) {
    error = f.path + " is not a flow store: " + why;
    return StoreOpenFailure::notAStore;
  }
  if (appId == kApplicationId && version > kStoreSchemaVersion) {
    error = f.path + " has store version " + std::to_string(version) + ", newer than this program's (" +
            std::to_string(kStoreSchemaVersion) + "): use a newer vantrel-collect";
    return StoreOpenFailure::newerSchema;
  }
  if (appId == kApplicationId && version == kStoreSchemaVersion) return StoreOpenFailure::none;
  if (appId == kApplicationId && (version == kStoreVersion1 || version == kStoreVersion2)) {
    if (!forWriting) {
      f.version2 = version == kStoreVersion2;
      f.totals = false;
      return StoreOpenFailure::none;
    }
    const std::string update = std::string("BEGIN IMMEDIATE;") + (version == kStoreVersion1 ? kAddVersion2Columns : "") +
                               kTotalsTable + "PRAGMA user_version = " + std::to_string(kStoreSchemaVersion) + ";";
    if (!exec(f.db, update.c_str(), why) || !fillTotals(f, why) || !exec(f.db, "COMMIT", why)) {
      sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
      error = "cannot add usage totals to the store " + f.path + ": " + why;
      return StoreOpenFailure::cannotOpen;
    }
    return StoreOpenFailure::none;
  }
  if (appId != 0 || objects != 0) {
    error = f.path + " is not a flow store: an SQLite database of another kind";
    return StoreOpenFailure::notAStore;
  }
  if (!forWriting) {
    error = f.path + " is not a flow store: it is empty";
    return StoreOpenFailure::notAStore;
  }
  const std::string create = std::string("BEGIN IMMEDIATE;") + kSchema + kTotalsTable + "PRAGMA application_id = " +
                             std::to_string(kApplicationId) + "; PRAGMA user_version = " +
                             std::to_string(kStoreSchemaVersion) + "; COMMIT;";
  if (!exec(f.db, create.c_str(), why)) {
    sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
    error = "cannot create the store " + f.path + ": " + why;
    return StoreOpenFailure::cannotOpen;
  }
  return StoreOpenFailure::none;
}

}  // namespace

std::unique_ptr<FlowStore> openFlowStore(const std::string& location, bool forWriting, StoreOpenFailure& failure,
                                         std::string& error) {
  if (location.rfind(kClickHouseScheme, 0) == 0) return openClickHouseStore(location, forWriting, failure, error);
  if (location.find("://") != std::string::npos) {
    failure = StoreOpenFailure::unavailable;
    error = "no store engine for " + location + " in this build (a store is an SQLite file path)";
    return nullptr;
  }
  auto f = std::make_shared<SqliteFile>();
  f->path = location;
  struct stat st {};
  const bool exists = stat(location.c_str(), &st) == 0;
  if (!forWriting && !exists) {
    failure = StoreOpenFailure::cannotOpen;
    error = "cannot open the store " + location + ": no such file";
    return nullptr;
  }
  const int flags = forWriting ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(location.c_str(), &f->db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    failure = StoreOpenFailure::cannotOpen;
    error = "cannot open the store " + location + ": " + engineError(f->db);
    return nullptr;
  }
  sqlite3_extended_result_codes(f->db, 1);
  sqlite3_busy_timeout(f->db, 5000);
  failure = checkSchema(*f, forWriting, error);
  if (failure != StoreOpenFailure::none) return nullptr;
  if (forWriting) {
    std::string why;
    // WAL: readers (the query command) never wait for the writer; NORMAL
    // sync is safe from corruption in WAL mode and saves a flush per batch.
    // The empty write transaction proves that the folder takes the log.
    if (!exec(f->db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -32768;", why) ||
        !exec(f->db, "BEGIN IMMEDIATE; COMMIT;", why) || !exec(f->db, kUsageIndex, why) || !prepareTotals(*f, why)) {
      failure = StoreOpenFailure::cannotOpen;
      error = "cannot write to the store " + location + ": " + why;
      return nullptr;
    }
    const std::string insert = std::string("INSERT INTO flows (") + kColumns +
                               ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    if (sqlite3_prepare_v2(f->db, insert.c_str(), -1, &f->insert, nullptr) != SQLITE_OK) {
      failure = StoreOpenFailure::notAStore;
      error = location + " is not a flow store: " + engineError(f->db);
      return nullptr;
    }
  }

  auto store = std::make_unique<FlowStore>();
  store->description = "SQLite file " + location;
  store->write = [f](const std::vector<StoredFlow>& batch, std::string& err) { return writeBatch(*f, batch, err); };
  store->count = [f](uint64_t& records, std::string& err) {
    int64_t n = 0;
    if (!queryInt(f->db, "SELECT count(*) FROM flows", n, err)) return false;
    records = static_cast<uint64_t>(n);
    return true;
  };
  store->prune = [f](uint64_t before, size_t most, size_t& removed, std::string& err) {
    sqlite3_stmt* stmt = nullptr;
    const char* sql =
        "DELETE FROM flows WHERE rowid IN (SELECT rowid FROM flows WHERE lastseen < ?1 ORDER BY lastseen LIMIT ?2)";
    if (sqlite3_prepare_v2(f->db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
      err = engineError(f->db);
      return false;
    }
    sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(before));
    sqlite3_bind_int64(stmt, 2, static_cast<int64_t>(most));
    const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    if (!ok) err = engineError(f->db);
    removed = ok ? static_cast<size_t>(sqlite3_changes(f->db)) : 0;
    sqlite3_finalize(stmt);
    return ok && trimTotals(*f, before, err);
  };
  store->queryFlows = [f](const FlowQuery& q, const std::function<void(const StoredFlow&)>& onFlow,
                          std::string& err) {
    const std::string sql = "SELECT " + columnsOf(*f) + " FROM flows WHERE " + whereClause(*f, q) +
                            " ORDER BY lastseen DESC LIMIT :limit";
    return runQuery(*f, sql, q, [&](sqlite3_stmt* s) { onFlow(flowFromRow(s)); }, err);
  };
  store->queryTop = [f](const FlowQuery& q, std::vector<TopRow>& rows, std::string& err) {
    return topRows(*f, q, rows, err);
  };
  store->queryUsage = [f](const UsageQuery& q, UsageAnswer& answer, std::string& err) {
    std::vector<UsageGroup> groups;
    if (!usageGroups(*f, q, groups, err)) return false;
    answer = usageAnswerOf(q, groups);
    return true;
  };
  store->listHosts = [f](std::vector<StoreHost>& hosts, std::string& err) { return listHosts(*f, hosts, err); };
  return store;
}
