// The store in ClickHouse: one MergeTree table, partitioned by the day a
// flow was last seen, written and read in the RowBinary format over the
// server's HTTP interface, one request per connection. Addresses are kept
// as they are in the SQLite file (4 or 16 bytes), so that both stores order
// and compare them alike and give the same answers.
#include "store/clickhouse_store.h"

#include <algorithm>
#include <cstring>

#include "platform/tcp_client.h"

namespace {

constexpr int kConnectMillis = 3000;
// A query over months of flows may take a while before its first byte.
constexpr int kTransferMillis = 120000;
constexpr uint64_t kDayMillis = 24ull * 3600 * 1000;
// The last day a Date column holds (2149-06-06): later flows are filed
// under it.
constexpr uint64_t kLastDay = 65535;

uint16_t dayOf(uint64_t millis) { return static_cast<uint16_t>(std::min(millis / kDayMillis, kLastDay)); }

// The columns in table order; the insert sends them in this order too.
const char* const kColumnList =
    "day, exporter, obsdomain, firstseen, lastseen, srcip, dstip, srcport, dstport, proto, tos, pkts, bytes, "
    "flags, replydelay, inif, outif, processname, `user`, domain, peername, namesource, service, container";
const char* const kReadColumns =
    "exporter, obsdomain, firstseen, lastseen, srcip, dstip, srcport, dstport, proto, tos, toUInt64(pkts), "
    "toUInt64(bytes), "
    "flags, replydelay, inif, outif, processname, `user`, domain";
const char* const kPeerExpr = "if(inif = 1, srcip, dstip)";

std::string percentEncoded(const std::string& text) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// A string literal in the server's SQL.
std::string literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

// An address's bytes as an expression: unhex('0a000001').
std::string addressLiteral(const StoreAddress& a) {
  static const char* const hex = "0123456789abcdef";
  std::string out = "unhex('";
  for (uint8_t i = 0; i < a.size; ++i) {
    out += hex[a.bytes[i] >> 4];
    out += hex[a.bytes[i] & 15];
  }
  return out + "')";
}

// One HTTP exchange: POSTs `body` with the SQL `query` and gives the
// answer's body. A status other than 200 is a failure whose text is the
// server's first line.
struct HttpAnswer {
  int status = 0;
  std::string body;
};

bool readAnswer(TcpClient& c, HttpAnswer& answer, std::string& error) {
  std::string raw;
  char buffer[65536];
  for (;;) {
    const int64_t n = tcpReceive(c, buffer, sizeof buffer, kTransferMillis, error);
    if (n < 0) return false;
    if (n == 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }
  const size_t headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos || raw.find(' ') == std::string::npos) {
    error = "not an HTTP answer";
    return false;
  }
  answer.status = atoi(raw.c_str() + raw.find(' ') + 1);
  std::string head = raw.substr(0, headEnd);
  for (char& ch : head) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const bool chunked = head.find("transfer-encoding: chunked") != std::string::npos;
  size_t at = headEnd + 4;
  if (!chunked) {
    answer.body = raw.substr(at);
    return true;
  }
  answer.body.clear();
  for (;;) {
    const size_t lineEnd = raw.find("\r\n", at);
    if (lineEnd == std::string::npos) break;
    const unsigned long size = strtoul(raw.c_str() + at, nullptr, 16);
    at = lineEnd + 2;
    if (size == 0 || at + size > raw.size()) break;
    answer.body.append(raw, at, size);
    at += size + 2;
  }
  return true;
}

struct ClickHouse {
  ClickHouseLocation where;
  bool units = true;  // false: a table made before peer names, services and containers, read as it is
  bool halfHours = true;  // false: a store read as it is, made before flow_halfhours

  // Runs `query` (with `data` after it, for an INSERT); false with the
  // reason on a failed connection or a refused query. A query without data
  // goes in the request's body, whatever its length; an INSERT's (ours are
  // short) in the address, its data in the body.
  bool run(const std::string& query, const std::string& data, std::string& answerBody, std::string& error,
           bool withDatabase = true) const {
    const bool inBody = data.empty();
    const std::string& body = inBody ? query : data;
    std::string target = "/";
    const auto add = [&target](const char* name, const std::string& value) {
      target += (target.size() == 1 ? "?" : "&") + std::string(name) + "=" + percentEncoded(value);
    };
    if (!inBody) add("query", query);
    if (withDatabase) add("database", where.database);
    if (!where.user.empty()) add("user", where.user);
    if (!where.password.empty()) add("password", where.password);
    std::string request = "POST " + target + " HTTP/1.1\r\nHost: " + where.host + ":" + std::to_string(where.port) +
                          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    TcpClient c;
    const std::string server = where.host + ":" + std::to_string(where.port);
    if (!tcpConnect(c, where.host, where.port, kConnectMillis, error)) {
      error = "cannot reach ClickHouse at " + server + ": " + error;
      return false;
    }
    HttpAnswer answer;
    const bool exchanged = tcpSendAll(c, request.data(), request.size(), kTransferMillis, error) &&
                           tcpSendAll(c, body.data(), body.size(), kTransferMillis, error) &&
                           readAnswer(c, answer, error);
    tcpClose(c);
    if (!exchanged) {
      error = "ClickHouse at " + server + ": " + error;
      return false;
    }
    if (answer.status != 200) {
      std::string first = answer.body.substr(0, answer.body.find('\n'));
      if (first.size() > 300) first.resize(300);
      error = "ClickHouse at " + server + " answered " + std::to_string(answer.status) + ": " + first;
      return false;
    }
    answerBody = std::move(answer.body);
    return true;
  }
};

// RowBinary: little-endian integers, strings as a LEB128 length and bytes.
template <typename T>
void putInt(std::string& out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out += static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
}

void putString(std::string& out, const char* data, size_t size) {
  size_t n = size;
  do {
    uint8_t b = n & 0x7f;
    n >>= 7;
    if (n != 0) b |= 0x80;
    out += static_cast<char>(b);
  } while (n != 0);
  out.append(data, size);
}

void putString(std::string& out, const std::string& s) { putString(out, s.data(), s.size()); }
void putAddress(std::string& out, const StoreAddress& a) {
  putString(out, reinterpret_cast<const char*>(a.bytes), a.size);
}

// Reads RowBinary values from an answer; `ok` turns false at the first
// value that runs past its end.
struct RowReader {
  const std::string& data;
  size_t at = 0;
  bool ok = true;

  bool more() const { return ok && at < data.size(); }
  template <typename T>
  T get() {
    if (at + sizeof(T) > data.size()) {
      ok = false;
      return T{};
    }
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(static_cast<uint8_t>(data[at + i])) << (8 * i);
    at += sizeof(T);
    return static_cast<T>(v);
  }
  std::string getString() {
    uint64_t n = 0;
    for (int shift = 0; ok; shift += 7) {
      if (at >= data.size() || shift > 63) {
        ok = false;
        break;
      }
      const uint8_t b = static_cast<uint8_t>(data[at++]);
      n |= uint64_t(b & 0x7f) << shift;
      if ((b & 0x80) == 0) break;
    }
    if (!ok || n > data.size() - at) {
      ok = false;
      return "";
    }
    std::string s = data.substr(at, n);
    at += n;
    return s;
  }
  StoreAddress getAddress() {
    const std::string s = getString();
    StoreAddress a;
    if (s.size() == 4 || s.size() == 16) {
      a.size = static_cast<uint8_t>(s.size());
      std::memcpy(a.bytes, s.data(), s.size());
    }
    return a;
  }
};

// A column of the flows: the peer's name, its source, service and container
// are '' in a table made before them.
std::string columnOf(const ClickHouse& ch, const char* name) {
  const bool unit = strcmp(name, "peername") == 0 || strcmp(name, "namesource") == 0 ||
                    strcmp(name, "service") == 0 || strcmp(name, "container") == 0;
  return unit && !ch.units ? "''" : name;
}

std::string whereClause(const ClickHouse& ch, const FlowQuery& q) {
  std::string w = "1";
  if (q.since > 0) {
    // The day column comes first: whole partitions are skipped by it.
    w += " AND day >= toDate(" + std::to_string(dayOf(q.since)) + ") AND lastseen >= " +
         std::to_string(storeValue(q.since));
  }
  if (q.until != UINT64_MAX) w += " AND firstseen <= " + std::to_string(storeValue(q.until));
  if (q.host.size != 0) w += " AND exporter = " + addressLiteral(q.host);
  if (!q.process.empty()) {
    const std::string p = literal(q.process);
    w += " AND (processname = " + p + " OR endsWith(processname, concat('/', " + p +
         ")) OR endsWith(processname, concat('\\\\', " + p + ")))";
  }
  if (!q.user.empty()) w += " AND `user` = " + literal(q.user);
  if (!q.service.empty()) w += " AND " + columnOf(ch, "service") + " = " + literal(q.service);
  if (!q.container.empty()) w += " AND " + columnOf(ch, "container") + " = " + literal(q.container);
  if (!q.peerName.empty()) {
    const std::string n = literal(q.peerName), name = columnOf(ch, "peername");
    w += " AND (" + name + " = " + n + " OR endsWith(" + name + ", concat('.', " + n + ")))";
  }
  if (q.top == TopKind::names) w += " AND " + columnOf(ch, "peername") + " != ''";
  if (q.peerLow.size != 0) {
    w += std::string(" AND ") + kPeerExpr + " BETWEEN " + addressLiteral(q.peerLow) + " AND " +
         addressLiteral(q.peerHigh) + " AND length(" + kPeerExpr + ") = " + std::to_string(q.peerLow.size);
  }
  if (q.port >= 0 || q.top == TopKind::ports) w += " AND proto IN (6, 17)";
  if (q.port >= 0) w += " AND (srcport = " + std::to_string(q.port) + " OR dstport = " + std::to_string(q.port) + ")";
  return w;
}

std::string limitClause(const FlowQuery& q) { return q.limit == 0 ? "" : " LIMIT " + std::to_string(q.limit); }

bool writeBatch(const ClickHouse& ch, const std::vector<StoredFlow>& batch, std::string& error) {
  if (batch.empty()) return true;
  static const std::string kEmpty;
  std::string body;
  body.reserve(batch.size() * 120);
  for (const StoredFlow& r : batch) {
    putInt<uint16_t>(body, dayOf(storeValue(r.lastseen)));
    putAddress(body, r.exporter);
    putInt<uint32_t>(body, r.obsdomain);
    putInt<uint64_t>(body, storeValue(r.firstseen));
    putInt<uint64_t>(body, storeValue(r.lastseen));
    putAddress(body, r.srcip);
    putAddress(body, r.dstip);
    putInt<uint16_t>(body, r.srcport);
    putInt<uint16_t>(body, r.dstport);
    putInt<uint8_t>(body, r.proto);
    putInt<uint8_t>(body, r.tos);
    putInt<uint64_t>(body, storeValue(r.pkts));
    putInt<uint64_t>(body, storeValue(r.bytes));
    putInt<uint8_t>(body, r.flags);
    putInt<uint16_t>(body, r.replydelay);
    putInt<uint8_t>(body, r.inif);
    putInt<uint8_t>(body, r.outif);
    putString(body, r.owner ? r.owner->processname : kEmpty);
    putString(body, r.owner ? r.owner->user : kEmpty);
    putString(body, r.owner ? r.owner->domain : kEmpty);
    putString(body, r.peerName.text());
    putString(body, r.peerName ? nameSourceText(r.peerName.source()) : "");
    putString(body, r.owner ? r.owner->service : kEmpty);
    putString(body, r.owner ? r.owner->container : kEmpty);
  }
  std::string ignored;
  return ch.run(std::string("INSERT INTO flows (") + kColumnList + ") FORMAT RowBinary", body, ignored, error);
}

bool queryFlows(const ClickHouse& ch, const FlowQuery& q, const std::function<void(const StoredFlow&)>& onFlow,
                std::string& error) {
  std::string data;
  if (!ch.run(std::string("SELECT ") + kReadColumns + ", " + columnOf(ch, "peername") + ", " +
                  columnOf(ch, "namesource") + ", " + columnOf(ch, "service") + ", " + columnOf(ch, "container") +
                  " FROM flows WHERE " + whereClause(ch, q) +
                  " ORDER BY lastseen DESC" + limitClause(q) + " FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  RowReader in{data};
  while (in.more()) {
    StoredFlow r;
    r.exporter = in.getAddress();
    r.obsdomain = in.get<uint32_t>();
    r.firstseen = in.get<uint64_t>();
    r.lastseen = in.get<uint64_t>();
    r.srcip = in.getAddress();
    r.dstip = in.getAddress();
    r.srcport = in.get<uint16_t>();
    r.dstport = in.get<uint16_t>();
    r.proto = in.get<uint8_t>();
    r.tos = in.get<uint8_t>();
    r.pkts = in.get<uint64_t>();
    r.bytes = in.get<uint64_t>();
    r.flags = in.get<uint8_t>();
    r.replydelay = in.get<uint16_t>();
    r.inif = in.get<uint8_t>();
    r.outif = in.get<uint8_t>();
    std::string name = in.getString(), user = in.getString(), domain = in.getString();
    std::string peername = in.getString(), namesource = in.getString();
    std::string service = in.getString(), container = in.getString();
    if (!in.ok) break;
    r.owner = makeOwner(name, user, domain, service, container);
    r.peerName = PeerName::make(peername, nameSourceByText(namesource));
    onFlow(r);
  }
  if (!in.ok) error = "ClickHouse sent a cut or malformed answer";
  return in.ok;
}

bool queryTop(const ClickHouse& ch, const FlowQuery& q, std::vector<TopRow>& rows, std::string& error) {
  const std::string key = q.top == TopKind::hosts       ? "exporter AS k, toUInt16(0) AS k2"
                          : q.top == TopKind::processes ? "processname AS k, toUInt16(0) AS k2"
                          : q.top == TopKind::services  ? columnOf(ch, "service") + " AS k, toUInt16(0) AS k2"
                          : q.top == TopKind::names     ? columnOf(ch, "peername") + " AS k, toUInt16(0) AS k2"
                          : q.top == TopKind::peers     ? "if(inif = 1, srcip, dstip) AS k, toUInt16(0) AS k2"
                                                        : "toString(proto) AS k, least(srcport, dstport) AS k2";
  const std::string sql = "SELECT " + key +
                          ", sum(toUInt64(bytes)) AS b, sum(toUInt64(pkts)), count() FROM flows WHERE " +
                          whereClause(ch, q) + " GROUP BY k, k2 ORDER BY b DESC, " +
                          (q.top == TopKind::ports ? "toUInt8(k)" : "k") + ", k2" + limitClause(q) +
                          " FORMAT RowBinary";
  std::string data;
  if (!ch.run(sql, "", data, error)) return false;
  rows.clear();
  RowReader in{data};
  while (in.more()) {
    TopRow row;
    const std::string k = in.getString();
    row.port = in.get<uint16_t>();
    row.bytes = in.get<uint64_t>();
    row.pkts = in.get<uint64_t>();
    row.flows = in.get<uint64_t>();
    if (!in.ok) break;
    if (q.top == TopKind::ports) {
      row.proto = static_cast<uint8_t>(atoi(k.c_str()));
    } else if (q.top == TopKind::processes || q.top == TopKind::services || q.top == TopKind::names) {
      row.key = k;
    } else {
      StoreAddress a;
      if (k.size() == 4 || k.size() == 16) {
        a.size = static_cast<uint8_t>(k.size());
        std::memcpy(a.bytes, k.data(), k.size());
      }
      row.key = a.text();
    }
    rows.push_back(row);
  }
  if (!in.ok) error = "ClickHouse sent a cut or malformed answer";
  return in.ok;
}

// The per-minute totals the usage question reads: a SummingMergeTree fed by
// a materialized view on the flows, each flow in the minute it was last
// seen, with the keys the question groups and filters by.
std::string minutesTableDefinition(const std::string& database) {
  return "CREATE TABLE IF NOT EXISTS " + database +
         ".flow_minutes (day Date, minute UInt64, exporter String, processname String, `user` String, "
         "service String, peername String, peer String, proto UInt8, port UInt16, bytes UInt64, pkts UInt64, "
         "flows UInt64) ENGINE = SummingMergeTree((bytes, pkts, flows)) PARTITION BY day "
         "ORDER BY (minute, exporter, processname, `user`, service, peername, peer, proto, port)";
}

std::string minutesOfFlows(const std::string& database) {
  return "SELECT day, intDiv(lastseen, 60000) AS minute, exporter, processname, `user`, service, peername, "
         "if(inif = 1, srcip, dstip) AS peer, proto, if(proto IN (6, 17), least(srcport, dstport), 0) AS port, "
         "bytes, pkts, toUInt64(1) AS flows FROM " + database + ".flows";
}

// Half-hour sums per grouping (dimension 0 process, 1 peer, 2 service, 3
// port, 4 user) and exporter (host), and under the host of one zero byte
// (no address is one byte long) for all exporters together: the usage
// questions with no filter but the host read one row per key and half hour
// from it instead of the minutes. key1 and key2 are the grouping's keys as
// flow_minutes has them.
constexpr uint64_t kSlotMillis = 30 * 60000;
std::string halfHoursTableDefinition(const std::string& database) {
  return "CREATE TABLE IF NOT EXISTS " + database +
         ".flow_halfhours (day Date, dimension UInt8, host String, slot UInt64, key1 String, key2 String, "
         "bytes UInt64, pkts UInt64, flows UInt64) ENGINE = SummingMergeTree((bytes, pkts, flows)) PARTITION BY day "
         "ORDER BY (dimension, host, slot, key1, key2)";
}

// The flows' half-hour rows; `summed`: summed per key first, as the view
// does for each insert (a block of 100,000 flows becomes ten times as many
// rows before it), while the one-time fill of an existing table leaves
// the summing to the table's merges.
std::string halfHoursOfFlows(const std::string& database, bool summed) {
  const std::string sums = summed ? "sum(bytes) AS bytes, sum(pkts) AS pkts, count() AS flows"
                                  : "bytes, pkts, toUInt64(1) AS flows";
  return "SELECT day, g.1 AS dimension, arrayJoin([exporter, '\\0']) AS host, intDiv(lastseen, " +
         std::to_string(kSlotMillis) + ") AS slot, g.2 AS key1, g.3 AS key2, " + sums + " FROM " + database +
         ".flows ARRAY JOIN [(toUInt8(0), processname, ''), (toUInt8(1), peername, if(inif = 1, srcip, dstip)), "
         "(toUInt8(2), service, ''), (toUInt8(3), toString(proto), toString(if(proto IN (6, 17), least(srcport, "
         "dstport), 0))), (toUInt8(4), `user`, '')] AS g" +
         (summed ? " GROUP BY day, dimension, host, slot, key1, key2" : "");
}

// Makes a totals table and its view when either is missing. The flows a
// table already holds when its view is made are added to the totals then,
// once.
bool makeTotals(const ClickHouse& ch, const std::string& table, const std::string& definition,
                const std::string& ofFlows, const std::string& ofEachInsert, std::string& error) {
  const std::string& db = ch.where.database;
  std::string data, ignored;
  if (!ch.run("SELECT count() FROM system.tables WHERE database = " + literal(db) + " AND name = " +
                  literal(table + "_feed") + " FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  RowReader in{data};
  const bool haveView = in.get<uint64_t>() != 0 && in.ok;
  if (!ch.run(definition, "", ignored, error)) return false;
  if (haveView) return true;
  return ch.run("CREATE MATERIALIZED VIEW IF NOT EXISTS " + db + "." + table + "_feed TO " + db + "." + table +
                    " AS " + ofEachInsert,
                "", ignored, error) &&
         ch.run("INSERT INTO " + db + "." + table + " " + ofFlows, "", ignored, error);
}

bool makeMinutes(const ClickHouse& ch, std::string& error) {
  const std::string& db = ch.where.database;
  return makeTotals(ch, "flow_minutes", minutesTableDefinition(db), minutesOfFlows(db), minutesOfFlows(db), error) &&
         makeTotals(ch, "flow_halfhours", halfHoursTableDefinition(db), halfHoursOfFlows(db, false),
                    halfHoursOfFlows(db, true), error);
}

// Whether the store has its half-hour totals (a store read as it is may not).
bool haveHalfHours(const ClickHouse& ch, bool& have, std::string& error) {
  std::string data;
  if (!ch.run("SELECT count() FROM system.tables WHERE database = " + literal(ch.where.database) +
                  " AND name = 'flow_halfhours_feed' FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  RowReader in{data};
  have = in.get<uint64_t>() != 0 && in.ok;
  return true;
}

bool queryUsage(const ClickHouse& ch, const UsageQuery& q, UsageAnswer& answer, std::string& error) {
  StoreAddress host, peer;
  if (!q.host.empty() && !parseStoreAddress(q.host, host)) {
    error = "host " + q.host + " is not an address";
    return false;
  }
  const uint64_t step = q.step == 0 ? 60000 : q.step;
  const uint64_t since = storeValue(q.since), end = storeValue((q.until + 59999) / 60000 * 60000);
  const std::string keys = q.by == UsageBy::process   ? "processname AS k1, '' AS k2"
                           : q.by == UsageBy::user    ? "`user` AS k1, '' AS k2"
                           : q.by == UsageBy::service ? "service AS k1, '' AS k2"
                           : q.by == UsageBy::peer    ? "peername AS k1, peer AS k2"
                                                      : "toString(proto) AS k1, toString(port) AS k2";
  // With no filter but the host, in steps of whole half hours, the half
  // hours before the last whole one come from flow_halfhours, the minutes
  // after it from flow_minutes.
  const bool filtered = !q.process.empty() || !q.peer.empty() || !q.service.empty() || q.port >= 0;
  const uint64_t edge = end / kSlotMillis * kSlotMillis;
  const bool fromHalfHours =
      ch.halfHours && !filtered && step % kSlotMillis == 0 && since % kSlotMillis == 0 && edge > since;
  const uint64_t from = fromHalfHours ? edge : since;
  std::string sql = "SELECT " + keys + ", intDiv(minute * 60000 - " + std::to_string(since) + ", " +
                    std::to_string(step) + ") AS s, sum(bytes) AS b, sum(pkts) AS p, sum(flows) AS f FROM flow_minutes WHERE day >= toDate(" +
                    std::to_string(dayOf(from)) + ") AND minute >= " + std::to_string(from / 60000) +
                    " AND minute < " + std::to_string(end / 60000);
  if (!q.host.empty()) sql += " AND exporter = " + addressLiteral(host);
  if (!q.process.empty()) {
    const std::string p = literal(q.process);
    sql += " AND (processname = " + p + " OR endsWith(processname, concat('/', " + p +
           ")) OR endsWith(processname, concat('\\\\', " + p + ")))";
  }
  if (!q.peer.empty()) {
    sql += " AND (peername = " + literal(q.peer);
    if (parseStoreAddress(q.peer, peer)) sql += " OR peer = " + addressLiteral(peer);
    sql += ")";
  }
  if (!q.service.empty()) sql += " AND service = " + literal(q.service);
  if (q.port >= 0) sql += " AND proto IN (6, 17) AND port = " + std::to_string(q.port);
  sql += " GROUP BY k1, k2, s";
  if (fromHalfHours) {
    const int grouping = usageByCode(q.by);
    const std::string halfHours =
        "SELECT key1 AS k1, key2 AS k2, intDiv(slot * " + std::to_string(kSlotMillis) + " - " +
        std::to_string(since) + ", " + std::to_string(step) +
        ") AS s, sum(bytes) AS b, sum(pkts) AS p, sum(flows) AS f FROM flow_halfhours WHERE dimension = " +
        std::to_string(grouping) + " AND host = " + (q.host.empty() ? std::string("'\\0'") : addressLiteral(host)) +
        " AND day >= toDate(" + std::to_string(dayOf(since)) + ") AND slot >= " + std::to_string(since / kSlotMillis) +
        " AND slot < " + std::to_string(edge / kSlotMillis) + " GROUP BY k1, k2, s";
    // A step may hold half hours of both.
    sql = "SELECT k1, k2, s, sum(b), sum(p), sum(f) FROM (" + halfHours + " UNION ALL " + sql + ") GROUP BY k1, k2, s";
  }
  sql += " FORMAT RowBinary";
  std::string data;
  if (!ch.run(sql, "", data, error)) return false;
  std::vector<UsageGroup> groups;
  RowReader in{data};
  while (in.more()) {
    UsageGroup g;
    const std::string k1 = in.getString(), k2 = in.getString();
    g.step = static_cast<size_t>(in.get<uint64_t>());
    g.bytes = in.get<uint64_t>();
    g.pkts = in.get<uint64_t>();
    g.flows = in.get<uint64_t>();
    if (!in.ok) break;
    if (q.by == UsageBy::port) {
      g.proto = static_cast<uint8_t>(atoi(k1.c_str()));
      g.port = static_cast<uint16_t>(atoi(k2.c_str()));
    } else {
      g.name = k1;
      if (k2.size() == 4 || k2.size() == 16) {
        g.address.size = static_cast<uint8_t>(k2.size());
        std::memcpy(g.address.bytes, k2.data(), k2.size());
      }
    }
    groups.push_back(std::move(g));
  }
  if (!in.ok) {
    error = "ClickHouse sent a cut or malformed answer";
    return false;
  }
  answer = usageAnswerOf(q, groups);
  return true;
}

bool listHosts(const ClickHouse& ch, std::vector<StoreHost>& hosts, std::string& error) {
  std::string data;
  if (!ch.run("SELECT exporter, count(), max(lastseen) AS last FROM flows GROUP BY exporter ORDER BY last DESC, "
              "exporter FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  hosts.clear();
  RowReader in{data};
  while (in.more()) {
    StoreHost h;
    h.exporter = in.getAddress();
    h.records = in.get<uint64_t>();
    h.lastSeen = in.get<uint64_t>();
    if (!in.ok) break;
    hosts.push_back(h);
  }
  if (!in.ok) error = "ClickHouse sent a cut or malformed answer";
  return in.ok;
}

// Drops the partitions of the days wholly before `before`; says how many
// records they held.
bool dropOldDays(const ClickHouse& ch, uint64_t before, size_t& removed, std::string& error) {
  removed = 0;
  const std::string day = "toDate(" + std::to_string(before / kDayMillis) + ")";
  std::string data;
  if (!ch.run("SELECT partition_id, sum(rows) FROM system.parts WHERE active AND database = " +
                  literal(ch.where.database) + " AND table = 'flows' AND max_date < " + day +
                  " GROUP BY partition_id FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  RowReader in{data};
  while (in.more()) {
    const std::string id = in.getString();
    const uint64_t rows = in.get<uint64_t>();
    if (!in.ok) break;
    std::string ignored;
    if (!ch.run("ALTER TABLE flows DROP PARTITION ID " + literal(id), "", ignored, error)) return false;
    // The same day of the minutes, where they are kept.
    if (ch.units && !ch.run("ALTER TABLE flow_minutes DROP PARTITION ID " + literal(id), "", ignored, error)) {
      return false;
    }
    if (ch.halfHours && !ch.run("ALTER TABLE flow_halfhours DROP PARTITION ID " + literal(id), "", ignored, error)) {
      return false;
    }
    removed += rows;
  }
  return in.ok;
}

// The table's columns as the server lists them, "name type" each.
bool tableColumns(const ClickHouse& ch, std::string& columns, std::string& error) {
  std::string data;
  if (!ch.run("SELECT name, type FROM system.columns WHERE database = " + literal(ch.where.database) +
                  " AND table = 'flows' FORMAT RowBinary",
              "", data, error)) {
    return false;
  }
  RowReader in{data};
  columns.clear();
  while (in.more()) {
    const std::string name = in.getString(), type = in.getString();
    columns += name + " " + type + ",";
  }
  return in.ok;
}

const char* const kExpectedColumns =
    "day Date,exporter String,obsdomain UInt32,firstseen UInt64,lastseen UInt64,srcip String,dstip String,"
    "srcport UInt16,dstport UInt16,proto UInt8,tos UInt8,pkts UInt64,bytes UInt64,flags UInt8,replydelay UInt16,"
    "inif UInt8,outif UInt8,processname String,user String,domain String,peername String,namesource String,"
    "service String,container String,";
// The columns of a table made before flows had names, services and containers.
const std::string kColumnsBeforeNames = std::string(
    kExpectedColumns,
    strlen(kExpectedColumns) - strlen("peername String,namesource String,service String,container String,"));
// Tables made before counts were kept whole hold them in 32 bits: they are
// widened on opening for writing.
const char* const kNarrowCounts = "pkts UInt32,bytes UInt32,";
const char* const kWideCounts = "pkts UInt64,bytes UInt64,";

}  // namespace

bool parseClickHouseLocation(const std::string& text, ClickHouseLocation& where, std::string& error) {
  const std::string scheme = kClickHouseScheme;
  error = "'" + text + "' is not clickhouse://[USER[:PASSWORD]@]HOST[:PORT]/DATABASE";
  if (text.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = text.substr(scheme.size());
  const size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  where.database = rest.substr(slash + 1);
  rest.resize(slash);
  if (where.database.empty() || where.database.find_first_not_of(
                                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
                                    std::string::npos) {
    return false;
  }
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t colon = credentials.find(':');
    where.user = credentials.substr(0, colon);
    if (colon != std::string::npos) where.password = credentials.substr(colon + 1);
    if (where.user.empty()) return false;
  }
  std::string portText;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    where.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      portText = rest.substr(close + 2);
      if (portText.empty()) return false;
    }
  } else {
    const size_t colon = rest.find(':');
    where.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      portText = rest.substr(colon + 1);
      if (portText.empty()) return false;
    }
  }
  if (where.host.empty()) return false;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long port = std::stoul(portText);
    if (port == 0 || port > 65535) return false;
    where.port = static_cast<uint16_t>(port);
  }
  error.clear();
  return true;
}

std::string clickHouseTableDefinition(const std::string& database) {
  return "CREATE TABLE IF NOT EXISTS " + database +
         ".flows (day Date, exporter String, obsdomain UInt32, firstseen UInt64, lastseen UInt64, "
         "srcip String, dstip String, srcport UInt16, dstport UInt16, proto UInt8, tos UInt8, pkts UInt64, "
         "bytes UInt64, flags UInt8, replydelay UInt16, inif UInt8, outif UInt8, processname String, "
         "`user` String, domain String, peername String, namesource String, service String, container String) "
         "ENGINE = MergeTree PARTITION BY day ORDER BY (exporter, lastseen)";
}

std::unique_ptr<FlowStore> openClickHouseStore(const std::string& location, bool forWriting,
                                               StoreOpenFailure& failure, std::string& error) {
  auto ch = std::make_shared<ClickHouse>();
  failure = StoreOpenFailure::cannotOpen;
  if (!parseClickHouseLocation(location, ch->where, error)) return nullptr;
  std::string data;
  if (!ch->run("SELECT count() FROM system.databases WHERE name = " + literal(ch->where.database) +
                   " FORMAT RowBinary",
               "", data, error, false)) {
    return nullptr;
  }
  RowReader in{data};
  if (in.get<uint64_t>() == 0 || !in.ok) {
    error = "ClickHouse at " + ch->where.host + ":" + std::to_string(ch->where.port) + " has no database '" +
            ch->where.database + "' (create it with CREATE DATABASE " + ch->where.database + ")";
    return nullptr;
  }
  std::string columns;
  if (!tableColumns(*ch, columns, error)) return nullptr;
  if (columns.empty() && forWriting) {
    std::string ignored;
    if (!ch->run(clickHouseTableDefinition(ch->where.database), "", ignored, error)) return nullptr;
    if (!tableColumns(*ch, columns, error)) return nullptr;
  }
  if (const size_t narrow = columns.find(kNarrowCounts); narrow != std::string::npos) {
    std::string ignored;
    if (forWriting && !ch->run("ALTER TABLE flows MODIFY COLUMN pkts UInt64, MODIFY COLUMN bytes UInt64", "", ignored, error)) {
      return nullptr;
    }
    columns.replace(narrow, strlen(kNarrowCounts), kWideCounts);
  }
  if (columns.empty()) {
    error = "ClickHouse database '" + ch->where.database + "' holds no flows yet";
    return nullptr;
  }
  if (columns == kColumnsBeforeNames) {
    if (forWriting) {
      std::string ignored;
      if (!ch->run("ALTER TABLE flows ADD COLUMN peername String, ADD COLUMN namesource String, "
                   "ADD COLUMN service String, ADD COLUMN container String",
                   "", ignored, error) ||
          !tableColumns(*ch, columns, error)) {
        return nullptr;
      }
    } else {
      ch->units = false;
      columns = kExpectedColumns;
    }
  }
  if (columns != kExpectedColumns) {
    failure = StoreOpenFailure::notAStore;
    error = "the table " + ch->where.database + ".flows is not a flow store of this program (its columns: " +
            columns.substr(0, columns.size() - 1) + ")";
    return nullptr;
  }

  if (forWriting && !makeMinutes(*ch, error)) return nullptr;
  if (!forWriting && !haveHalfHours(*ch, ch->halfHours, error)) return nullptr;

  failure = StoreOpenFailure::none;
  auto store = std::make_unique<FlowStore>();
  store->description = "ClickHouse " + ch->where.host + ":" + std::to_string(ch->where.port) + "/" +
                       ch->where.database;
  store->write = [ch](const std::vector<StoredFlow>& batch, std::string& err) { return writeBatch(*ch, batch, err); };
  store->count = [ch](uint64_t& records, std::string& err) {
    std::string answer;
    if (!ch->run("SELECT count() FROM flows FORMAT RowBinary", "", answer, err)) return false;
    RowReader r{answer};
    records = r.get<uint64_t>();
    if (!r.ok) err = "ClickHouse sent a cut or malformed answer";
    return r.ok;
  };
  store->prune = [ch](uint64_t before, size_t, size_t& removed, std::string& err) {
    return dropOldDays(*ch, before, removed, err);
  };
  store->queryFlows = [ch](const FlowQuery& q, const std::function<void(const StoredFlow&)>& onFlow,
                           std::string& err) { return queryFlows(*ch, q, onFlow, err); };
  store->queryTop = [ch](const FlowQuery& q, std::vector<TopRow>& rows, std::string& err) {
    return queryTop(*ch, q, rows, err);
  };
  store->queryUsage = [ch](const UsageQuery& q, UsageAnswer& answer, std::string& err) {
    return queryUsage(*ch, q, answer, err);
  };
  store->listHosts = [ch](std::vector<StoreHost>& hosts, std::string& err) { return listHosts(*ch, hosts, err); };
  return store;
}
