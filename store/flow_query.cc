#include "store/flow_query.h"

#include <json/json.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "runtime/safe_text.h"

const char* const kQueryUsage =
    "Usage: vantrel-collect query --store STORE [--since TIME] [--until TIME] [--host ADDR]\n"
    "         [--process NAME] [--user NAME] [--service NAME] [--container ID]\n"
    "         [--peer ADDR|PREFIX] [--peer-name NAME] [--port N]\n"
    "         [--top hosts|processes|services|peers|names|ports] [--limit N] [--format table|json|csv]\n"
    "\n"
    "Answers from a store that vantrel-collect --store filled: the flows that match,\n"
    "newest first, or with --top the ten (--limit) biggest talkers by bytes.\n"
    "\n"
    "  --store STORE       the SQLite file, or clickhouse://HOST:PORT/DATABASE\n"
    "  --since TIME        flows last seen at or after TIME: 30m, 1h, 2d, 1w before now,\n"
    "                      or a UTC date 2026-12-01 with an optional time T08:00[:30]\n"
    "  --until TIME        flows first seen at or before TIME\n"
    "  --host ADDR         flows reported by the monitor at ADDR (the exporter)\n"
    "  --process NAME      flows of that process: its whole name or its file name\n"
    "  --user NAME         flows of that account\n"
    "  --service NAME      flows of that service (systemd unit, or Windows services)\n"
    "  --container ID      flows of that container (12 hex digits) or pod (its UID)\n"
    "  --peer ADDR|PREFIX  flows whose far end is ADDR or within PREFIX (10.1.0.0/16)\n"
    "  --peer-name NAME    flows whose far end was named NAME or a name under it\n"
    "                      (example.com finds www.example.com)\n"
    "  --port N            TCP and UDP flows with port N at either end\n"
    "  --top KIND          top talkers: hosts (exporters), processes, services, peers,\n"
    "                      names (the far ends' names), or ports\n"
    "                      (the lower port of each flow, usually the service's)\n"
    "  --limit N           at most N answers (default 1000 flows, 10 top rows; 0: all)\n"
    "  --format KIND       table (default), json (one object per line) or csv\n"
    "\n"
    "Exit status: 0 answered (also when nothing matched), 2 a bad argument,\n"
    "3 the store cannot be read.\n";

namespace {

constexpr uint64_t kFlowLimit = 1000;
constexpr uint64_t kTopLimit = 10;

// Digits only, at most `most` of them, into `value`.
bool readNumber(const std::string& text, size_t most, uint64_t& value) {
  if (text.empty() || text.size() > most || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoull(text);
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

unsigned daysInMonth(uint64_t y, uint64_t m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

std::string compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// `text` padded with blanks to `width`, or as it is when longer.
std::string pad(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string endpoint(const StoreAddress& a, uint16_t port) {
  return a.size == 16 ? "[" + a.text() + "]:" + std::to_string(port) : a.text() + ":" + std::to_string(port);
}

const char* protoName(uint8_t proto) {
  switch (proto) {
    case 1: return "icmp";
    case 6: return "tcp";
    case 17: return "udp";
    case 58: return "icmp6";
    default: return nullptr;
  }
}

std::string protoText(uint8_t proto) {
  const char* name = protoName(proto);
  return name ? name : std::to_string(proto);
}

const char* topKeyName(TopKind kind) {
  switch (kind) {
    case TopKind::hosts: return "host";
    case TopKind::processes: return "process";
    case TopKind::services: return "service";
    case TopKind::peers: return "peer";
    case TopKind::names: return "peername";
    default: return "port";
  }
}

const char* const kFlowColumns[] = {"exporter", "obsdomain", "firstseen", "lastseen", "srcip", "dstip", "srcport",
                                    "dstport", "proto", "tos", "pkts", "bytes", "flags", "replydelay", "inif",
                                    "outif", "processname", "user", "domain", "peername", "namesource",
                                    "service", "container"};

}  // namespace

bool parseTimeArgument(const std::string& text, uint64_t now, uint64_t& millis) {
  static const struct {
    char unit;
    uint64_t ms;
  } kUnits[] = {{'s', 1000}, {'m', 60000}, {'h', 3600000}, {'d', 86400000}, {'w', 7 * 86400000ull}};
  uint64_t n = 0;
  for (const auto& u : kUnits) {
    if (!text.empty() && text.back() == u.unit && readNumber(text.substr(0, text.size() - 1), 6, n)) {
      millis = n * u.ms > now ? 0 : now - n * u.ms;
      return true;
    }
  }
  std::string t = text;
  if (!t.empty() && t.back() == 'Z') t.pop_back();
  uint64_t y, mo, d, h = 0, mi = 0, s = 0;
  if (t.size() < 10 || t[4] != '-' || t[7] != '-' || !readNumber(t.substr(0, 4), 4, y) ||
      !readNumber(t.substr(5, 2), 2, mo) || !readNumber(t.substr(8, 2), 2, d)) {
    return false;
  }
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo)) return false;
  if (t.size() > 10) {
    const bool hm = t.size() == 16 || (t.size() == 19 && t[16] == ':');
    if (!hm || (t[10] != 'T' && t[10] != ' ') || t[13] != ':' || !readNumber(t.substr(11, 2), 2, h) ||
        !readNumber(t.substr(14, 2), 2, mi) || (t.size() == 19 && !readNumber(t.substr(17, 2), 2, s)) || h > 23 ||
        mi > 59 || s > 59) {
      return false;
    }
  }
  millis = ((static_cast<uint64_t>(daysFromCivil(int64_t(y), unsigned(mo), unsigned(d))) * 24 + h) * 60 + mi) *
               60000 + s * 1000;
  return true;
}

bool parsePeerArgument(const std::string& text, StoreAddress& low, StoreAddress& high) {
  const size_t slash = text.find('/');
  if (!parseStoreAddress(text.substr(0, slash), low)) return false;
  uint64_t bits = low.size * 8u;
  if (slash != std::string::npos && (!readNumber(text.substr(slash + 1), 3, bits) || bits > low.size * 8u)) {
    return false;
  }
  high = low;
  for (unsigned i = 0; i < low.size; ++i) {
    const unsigned keep = bits >= (i + 1) * 8 ? 8 : bits > i * 8 ? unsigned(bits - i * 8) : 0;
    const uint8_t mask = static_cast<uint8_t>(keep == 0 ? 0 : 0xFF << (8 - keep));
    low.bytes[i] &= mask;
    high.bytes[i] = static_cast<uint8_t>(low.bytes[i] | ~mask);
  }
  return true;
}

bool parseQueryArguments(const std::vector<std::string>& args, uint64_t now, QueryCommand& out) {
  static const char* const kWithValue[] = {"--store", "--since",   "--until",     "--host", "--process",
                                           "--user",  "--service", "--container", "--peer", "--peer-name",
                                           "--port",  "--top",     "--limit",     "--format"};
  bool limitGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value, shown = args[i];
    bool hasValue = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1), arg = arg.substr(0, eq), hasValue = true;
    } else {
      for (const char* name : kWithValue) {
        if (arg == name && i + 1 < args.size()) {
          value = args[++i], shown += " " + value, hasValue = true;
          break;
        }
      }
    }
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return true;
    }
    FlowQuery& q = out.query;
    uint64_t n = 0;
    const char* why = "unknown option";
    if (hasValue) {
      why = "";
      if (arg == "--store" && !value.empty()) {
        out.store = value;
      } else if (arg == "--since" || arg == "--until") {
        if (!parseTimeArgument(value, now, arg == "--since" ? q.since : q.until)) why = "not a time";
      } else if (arg == "--host") {
        if (!parseStoreAddress(value, q.host)) why = "not an IPv4 or IPv6 address";
      } else if (arg == "--process" && !value.empty()) {
        q.process = value;
      } else if (arg == "--peer-name" && !value.empty()) {
        q.peerName = value;
        for (char& c : q.peerName) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      } else if (arg == "--user" && !value.empty()) {
        q.user = value;
      } else if (arg == "--service" && !value.empty()) {
        q.service = value;
      } else if (arg == "--container" && !value.empty()) {
        q.container = value;
      } else if (arg == "--peer") {
        if (!parsePeerArgument(value, q.peerLow, q.peerHigh)) why = "not an address or prefix";
      } else if (arg == "--port") {
        if (!readNumber(value, 5, n) || n > 65535) why = "not a port number";
        q.port = static_cast<int>(n);
      } else if (arg == "--top") {
        q.top = value == "hosts" ? TopKind::hosts : value == "processes" ? TopKind::processes
                : value == "services" ? TopKind::services : value == "peers" ? TopKind::peers
                : value == "names" ? TopKind::names : value == "ports" ? TopKind::ports : TopKind::none;
        if (q.top == TopKind::none) why = "not hosts, processes, services, peers, names or ports";
      } else if (arg == "--limit") {
        if (!readNumber(value, 9, n)) why = "not a number";
        q.limit = n, limitGiven = true;
      } else if (arg == "--format") {
        out.format = value == "json" ? QueryFormat::json : value == "csv" ? QueryFormat::csv : QueryFormat::table;
        if (value != "json" && value != "csv" && value != "table") why = "not table, json or csv";
      } else {
        why = value.empty() ? "empty" : "unknown option";
      }
    } else if (arg.rfind("--", 0) == 0) {
      for (const char* name : kWithValue) {
        if (arg == name) why = "needs a value";
      }
    }
    if (*why != '\0') {
      out.error = "bad argument '" + shown + "': " + why;
      return false;
    }
  }
  if (out.store.empty()) {
    out.error = "--store FILE is missing";
    return false;
  }
  if (!limitGiven) out.query.limit = out.query.top == TopKind::none ? kFlowLimit : kTopLimit;
  return true;
}

std::string utcText(uint64_t millis) {
  const int64_t days = static_cast<int64_t>(millis / 86400000);
  const uint64_t secs = millis / 1000 % 86400;
  // civil_from_days
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
  char text[32];
  snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(y), m, d,
           unsigned(secs / 3600), unsigned(secs / 60 % 60), unsigned(secs % 60));
  return text;
}

std::string flowsHeader(QueryFormat format) {
  if (format == QueryFormat::table) {
    return pad("LAST SEEN (UTC)", 20) + pad("EXPORTER", 16) + pad("PROTO", 6) + pad("SOURCE", 22) +
           pad("DESTINATION", 22) + pad("PEER NAME", 30) + pad("PACKETS", 9) + pad("BYTES", 11) + pad("USER", 12) + "PROCESS\n";
  }
  if (format == QueryFormat::json) return "";
  std::string header;
  for (const char* column : kFlowColumns) header += std::string(header.empty() ? "" : ",") + column;
  return header + "\n";
}

void appendFlowAnswer(const StoredFlow& f, QueryFormat format, std::string& out) {
  static const std::string kNone;
  const std::string& process = f.owner ? f.owner->processname : kNone;
  const std::string& user = f.owner ? f.owner->user : kNone;
  const std::string& domain = f.owner ? f.owner->domain : kNone;
  const std::string& service = f.owner ? f.owner->service : kNone;
  const std::string& container = f.owner ? f.owner->container : kNone;
  using std::to_string;
  if (format == QueryFormat::table) {
    const bool ported = f.proto == 6 || f.proto == 17;
    out += pad(utcText(f.lastseen), 20) + pad(f.exporter.text(), 16) + pad(protoText(f.proto), 6) +
           pad(ported ? endpoint(f.srcip, f.srcport) : f.srcip.text(), 22) +
           pad(ported ? endpoint(f.dstip, f.dstport) : f.dstip.text(), 22) +
           pad(f.peerName.text().empty() ? "-" : terminalText(f.peerName.text()), 30) + pad(to_string(f.pkts), 9) +
           pad(to_string(f.bytes), 11) + pad(user.empty() ? "-" : terminalText(user), 12) +
           (process.empty() ? "-" : terminalText(process)) +
           "\n";
    return;
  }
  if (format == QueryFormat::json) {
    Json::Value v(Json::objectValue);
    v["exporter"] = f.exporter.text();
    v["obsdomain"] = f.obsdomain;
    v["firstseen"] = Json::UInt64(f.firstseen);
    v["lastseen"] = Json::UInt64(f.lastseen);
    v["srcip"] = f.srcip.text();
    v["dstip"] = f.dstip.text();
    v["srcport"] = f.srcport;
    v["dstport"] = f.dstport;
    v["proto"] = f.proto;
    v["tos"] = f.tos;
    v["pkts"] = Json::UInt64(f.pkts);
    v["bytes"] = Json::UInt64(f.bytes);
    v["flags"] = f.flags;
    v["replydelay"] = f.replydelay;
    v["inif"] = f.inif;
    v["outif"] = f.outif;
    v["processname"] = validUtf8(process);
    v["user"] = validUtf8(user);
    v["domain"] = validUtf8(domain);
    v["peername"] = validUtf8(f.peerName.text());
    v["namesource"] = nameSourceText(f.peerName.source());
    v["service"] = validUtf8(service);
    v["container"] = validUtf8(container);
    out += compact(v) + "\n";
    return;
  }
  out += f.exporter.text() + ',' + to_string(f.obsdomain) + ',' + to_string(f.firstseen) + ',' +
         to_string(f.lastseen) + ',' + f.srcip.text() + ',' + f.dstip.text() + ',' + to_string(f.srcport) + ',' +
         to_string(f.dstport) + ',' + to_string(f.proto) + ',' + to_string(f.tos) + ',' + to_string(f.pkts) + ',' +
         to_string(f.bytes) + ',' + to_string(f.flags) + ',' + to_string(f.replydelay) + ',' + to_string(f.inif) +
         ',' + to_string(f.outif) + ',';
  appendCsvCell(process, out);
  out += ',';
  appendCsvCell(user, out);
  out += ',';
  appendCsvCell(domain, out);
  out += ',';
  appendCsvCell(f.peerName.text(), out);
  out += ',';
  out += nameSourceText(f.peerName.source());
  out += ',';
  appendCsvCell(service, out);
  out += ',';
  appendCsvCell(container, out);
  out += '\n';
}

std::string topAnswer(const std::vector<TopRow>& rows, TopKind kind, QueryFormat format) {
  const bool ports = kind == TopKind::ports;
  const std::string name = topKeyName(kind);
  std::string out;
  if (format == QueryFormat::table) {
    out = pad(ports                ? "PORT"
              : name == "process"  ? "PROCESS"
              : name == "service"  ? "SERVICE"
              : name == "host"     ? "HOST"
              : name == "peername" ? "PEER NAME"
                                   : "PEER",
              40) +
          pad("BYTES", 16) + pad("PACKETS", 13) + "FLOWS\n";
  } else if (format == QueryFormat::csv) {
    out = (ports ? "port,proto" : name) + ",bytes,pkts,flows\n";
  }
  for (const TopRow& r : rows) {
    using std::to_string;
    if (format == QueryFormat::table) {
      const std::string key =
          ports ? to_string(r.port) + "/" + protoText(r.proto) : r.key.empty() ? "-" : terminalText(r.key);
      out += pad(key, 40) + pad(to_string(r.bytes), 16) + pad(to_string(r.pkts), 13) + to_string(r.flows) + "\n";
    } else if (format == QueryFormat::json) {
      Json::Value v(Json::objectValue);
      if (ports) {
        v["port"] = r.port;
        v["proto"] = r.proto;
      } else {
        v[name] = validUtf8(r.key);
      }
      v["bytes"] = Json::UInt64(r.bytes);
      v["pkts"] = Json::UInt64(r.pkts);
      v["flows"] = Json::UInt64(r.flows);
      out += compact(v) + "\n";
    } else {
      if (ports) {
        out += to_string(r.port) + "," + to_string(r.proto);
      } else if (kind == TopKind::processes || kind == TopKind::services || kind == TopKind::names) {
        appendCsvCell(r.key, out);
      } else {
        out += r.key;
      }
      out += "," + to_string(r.bytes) + "," + to_string(r.pkts) + "," + to_string(r.flows) + "\n";
    }
  }
  return out;
}

int runQueryCommand(const std::vector<std::string>& args, const std::function<void(const std::string&)>& out,
                    const std::function<void(const std::string&)>& err) {
  QueryCommand command;
  if (!parseQueryArguments(args, currentTimeMillis(), command)) {
    err("vantrel-collect query: " + command.error + "\n" + kQueryUsage);
    return 2;
  }
  if (command.help) {
    out(kQueryUsage);
    return 0;
  }
  StoreOpenFailure failure;
  std::string error;
  std::unique_ptr<FlowStore> store = openFlowStore(command.store, false, failure, error);
  if (!store) {
    err("vantrel-collect query: " + error + "\n");
    return 3;
  }
  FlowQuery& q = command.query;
  if (q.top != TopKind::none) {
    std::vector<TopRow> rows;
    if (!store->queryTop(q, rows, error)) {
      err("vantrel-collect query: cannot read " + command.store + ": " + error + "\n");
      return 3;
    }
    out(topAnswer(rows, q.top, command.format));
    return 0;
  }
  // One more than asked, to tell a cut answer from a whole one.
  const size_t limit = q.limit;
  if (limit != 0) q.limit = limit + 1;
  size_t seen = 0;
  std::string text = flowsHeader(command.format);
  const bool ok = store->queryFlows(
      q,
      [&](const StoredFlow& flow) {
        if (limit != 0 && seen++ == limit) return;
        appendFlowAnswer(flow, command.format, text);
        if (text.size() >= 65536) out(text), text.clear();
      },
      error);
  out(text);
  if (!ok) {
    err("vantrel-collect query: cannot read " + command.store + ": " + error + "\n");
    return 3;
  }
  if (limit != 0 && seen > limit) {
    err("vantrel-collect query: showing the newest " + std::to_string(limit) + " flows; --limit 0 shows all\n");
  }
  return 0;
}
