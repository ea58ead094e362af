// vantrel-collect: receives the monitor's export datagrams, native or IPFIX,
// on a UDP port, IPFIX streams on a TCP port, or both, and writes one line per flow record on standard output, as
// JSON or CSV, or keeps the records in a store (--store); `vantrel-collect
// query` answers from that store. Malformed datagrams, and IPFIX data sets
// whose template has not been seen yet, are reported on standard error and
// skipped.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "export/collector_output.h"
#include "export/ipfix_stream.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/tcp_client.h"
#include "platform/udp_socket.h"
#include "store/clickhouse_store.h"
#include "store/flow_query.h"
#include "store/store_writer.h"
#include "web/collector_web.h"
#include "web/static_files.h"

namespace {

const char* const kUsage =
    "Usage: vantrel-collect [--listen ADDR:PORT] [--listen-tcp ADDR:PORT] [--format json|csv]\n"
    "                       [--store FILE.sqlite|clickhouse://HOST:PORT/DATABASE\n"
    "                        [--keep DAYS] [--queue RECORDS] [--queue-mb MB]\n"
    "                        [--web ADDR:PORT --web-user NAME --web-pass PASS [--web-root DIR]]]\n"
    "       vantrel-collect query --store STORE [...]   (vantrel-collect query --help)\n"
    "\n"
    "Receives the flow records that Vantrel exports (receiverIP:receiverPort in\n"
    "its settings), as its own datagrams or as IPFIX (exportFormat \"ipfix\"), and\n"
    "writes one line per record on standard output, or keeps them in a store.\n"
    "\n"
    "  --listen ADDR:PORT  IPv4 address and UDP port to listen on (default 0.0.0.0:2055)\n"
    "  --listen-tcp ADDR:PORT\n"
    "                      accept IPFIX over TCP there (exportTransport \"tcp\"), from\n"
    "                      any number of exporters at once; alone, instead of UDP; with\n"
    "                      --listen, beside it (both into the same output and store)\n"
    "  --format json|csv   json (default): one JSON object per line with the members\n"
    "                      inif, outif, firstseen, lastseen, srcip, dstip, srcport,\n"
    "                      dstport, pkts, bytes, flags, tos, proto, processname, user,\n"
    "                      domain, replydelay, exporter (the sender's address) and\n"
    "                      obsdomain (its IPFIX observation domain, 0 for native\n"
    "                      datagrams), service and container (IPFIX only);\n"
    "                      IPv6 addresses as RFC 5952 text; csv: a header\n"
    "                      line, then one row per record with those columns, strings\n"
    "                      in double quotes\n"
    "  --store FILE        keep every record, with its exporter's address, in the SQLite\n"
    "                      file FILE (made when missing); records are then not printed\n"
    "                      unless --format is given too\n"
    "  --store clickhouse://HOST:PORT/DATABASE\n"
    "                      keep them in the table flows of that ClickHouse database,\n"
    "                      reached over its HTTP interface (made when missing); while\n"
    "                      the server is away, records wait in the queue and batches\n"
    "                      are retried\n"
    "  --keep DAYS         remove stored records last seen more than DAYS days ago\n"
    "                      (default 30; 0 keeps them for ever; ClickHouse drops whole\n"
    "                      days)\n"
    "  --queue RECORDS     records that may wait for the disk (default 500000); more\n"
    "                      are dropped, counted and reported\n"
    "  --queue-mb MB       memory those records may take (default 256); more are\n"
    "                      dropped likewise\n"
    "  --web ADDR:PORT     serve the History view of the store on that IPv4 address and\n"
    "                      TCP port: bytes per process, peer, service, port or user over\n"
    "                      time, for all exporters or one; needs --store, --web-user\n"
    "                      and --web-pass (HTTP Digest)\n"
    "  --web-user NAME     the user name the browser signs in with\n"
    "  --web-pass PASS     its password\n"
    "  --web-root DIR      the folder of the page's files (default ./resources/web)\n"
    "  --help              show this text\n"
    "\n"
    "With --store: one line on start naming the store and its record count; once a\n"
    "minute, the records stored, dropped and waiting; on SIGINT or SIGTERM the\n"
    "waiting records are written before the program ends.\n"
    "Exit status: 0 after an orderly stop, 1 the port cannot be had, 2 a bad\n"
    "argument, 3 the store cannot be opened or written (records lost at the end).\n"
    "\n"
    "Times are milliseconds since 1970-01-01 00:00 UTC. A datagram that is not a\n"
    "well-formed export datagram or IPFIX message is reported on standard error\n"
    "with its sender and skipped. IPFIX templates are learned per exporter address,\n"
    "observation domain and template id; data sets whose template has not been\n"
    "seen yet are reported on standard error and skipped. Of each exporter and\n"
    "kind of report, one line a second at most is written; the next one says how\n"
    "many were left out meanwhile.\n";

// Receive queue asked for: a monitor sends the flows of a sweep or of its
// orderly stop (hundreds of thousands of records) in one burst, faster than
// lines can be written.
constexpr size_t kReceiveQueueBytes = 64 * 1024 * 1024;

// How long a receive waits before the stop flag is looked at again.
constexpr int kStopPollMillis = 200;
// After a stop request, datagrams already in the socket are still taken for
// this long at most (an exporter that keeps sending cannot hold the stop up).
constexpr uint64_t kDrainMillis = 2000;
// After a stop request, exporters have this long to end their streams.
constexpr uint64_t kStreamDrainMillis = 5000;
// A connection that stops in the middle of a message for this long is
// dropped.
constexpr uint64_t kStreamStallMillis = 10000;

struct Options {
  uint32_t address = 0;
  uint16_t port = 2055;
  bool udp = true;   // datagrams: unless --listen-tcp comes without --listen
  bool udpGiven = false;  // --listen
  bool tcp = false;  // --listen-tcp: IPFIX streams
  uint32_t tcpAddress = 0;
  uint16_t tcpPort = 4739;
  CollectorFormat format = CollectorFormat::json;
  bool formatGiven = false;
  std::string store;
  StoreWriterSettings storeSettings;
  bool web = false;  // --web: serve the History view of the store
  uint32_t webAddress = 0;
  uint16_t webPort = 0;
  std::string webUser, webPass, webRoot = kWebRoot;
};

std::atomic<bool> stopRequested{false};

// With both listeners, each writes from its own thread: one fwrite holds
// the stream's lock for the whole text, so lines never interleave.
void writeOut(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void writeErr(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

// "ADDR:PORT" with a dotted IPv4 address and a port 0..65535.
bool parseListen(const std::string& text, uint32_t& address, uint16_t& portOut) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string portText = text.substr(colon + 1);
  if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long port = std::stoul(portText);
  if (port > 65535) return false;
  if (!ipv4FromText(text.substr(0, colon), address)) return false;
  portOut = static_cast<uint16_t>(port);
  return true;
}

// Reads the command line; returns -1 to go on, else the exit status.
int parseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string shown = arg;  // the argument as given, for the error line
    std::string value;
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    } else if ((arg == "--listen" || arg == "--listen-tcp" || arg == "--format" || arg == "--store" || arg == "--keep" ||
                arg == "--queue" || arg == "--queue-mb" || arg == "--web" || arg == "--web-user" ||
                arg == "--web-pass" || arg == "--web-root") &&
               i + 1 < argc) {
      value = argv[++i];
      shown += " " + value;
    }
    if (arg == "--help" || arg == "-h") {
      writeOut(kUsage);
      return 0;
    }
    if (arg == "--listen" && parseListen(value, options.address, options.port)) {
      options.udpGiven = true;
      continue;
    }
    if (arg == "--listen-tcp" && parseListen(value, options.tcpAddress, options.tcpPort)) {
      options.tcp = true;
      continue;
    }
    if (arg == "--format" && (value == "json" || value == "csv")) {
      options.format = value == "csv" ? CollectorFormat::csv : CollectorFormat::json;
      options.formatGiven = true;
      continue;
    }
    if (arg == "--store" && !value.empty()) {
      options.store = value;
      continue;
    }
    if (arg == "--web" && parseListen(value, options.webAddress, options.webPort)) {
      options.web = true;
      continue;
    }
    if (arg == "--web-user" && !value.empty()) {
      options.webUser = value;
      continue;
    }
    if (arg == "--web-pass" && !value.empty()) {
      options.webPass = value;
      continue;
    }
    if (arg == "--web-root" && !value.empty()) {
      options.webRoot = value;
      continue;
    }
    const bool digits = !value.empty() && value.size() <= 9 && value.find_first_not_of("0123456789") == std::string::npos;
    if (arg == "--keep" && digits && std::stoul(value) <= 36500) {
      options.storeSettings.keepDays = static_cast<uint32_t>(std::stoul(value));
      continue;
    }
    if (arg == "--queue" && digits && std::stoul(value) > 0) {
      options.storeSettings.queueCapacity = std::stoul(value);
      continue;
    }
    if (arg == "--queue-mb" && digits && std::stoul(value) > 0 && std::stoul(value) <= 1048576) {
      options.storeSettings.queueBytes = static_cast<size_t>(std::stoul(value)) << 20;
      continue;
    }
    if (arg == "--web-pass") shown = arg + " ********";  // a password is never echoed
    writeErr("vantrel-collect: bad argument '" + shown + "'\n" + kUsage);
    return 2;
  }
  // The view is never served without a sign-in, nor without a store to show.
  if (options.web && (options.store.empty() || options.webUser.empty() || options.webPass.empty())) {
    writeErr("vantrel-collect: --web needs --store, --web-user and --web-pass\n");
    return 2;
  }
  options.udp = options.udpGiven || !options.tcp;
  return -1;
}

// Opens the store of --store; null, with the message written, when it
// cannot be used.
std::unique_ptr<FlowStore> openStore(const Options& options) {
  StoreOpenFailure failure;
  std::string error;
  std::unique_ptr<FlowStore> store = openFlowStore(options.store, true, failure, error);
  uint64_t records = 0;
  if (store && !store->count(records, error)) store.reset();
  if (!store) {
    writeErr("vantrel-collect: " + error + "\n");
    return nullptr;
  }
  writeErr("vantrel-collect: storing flows in " + store->description + " (" + std::to_string(records) +
           " records)\n");
  return store;
}

// The web view's questions, each asked of a connection of its own to the
// store (the writer keeps its own), so that they run beside the writes.
CollectorWeb webOf(const Options& options) {
  CollectorWeb web;
  web.address = options.webAddress;
  web.port = options.webPort;
  web.user = options.webUser;
  web.password = options.webPass;
  web.root = options.webRoot;
  const std::string location = options.store;
  web.usage = [location](const UsageQuery& query, UsageAnswer& answer, std::string& error) {
    StoreOpenFailure failure;
    std::unique_ptr<FlowStore> store = openFlowStore(location, false, failure, error);
    return store && store->queryUsage(query, answer, error);
  };
  web.hosts = [location](std::vector<CollectorHost>& hosts, std::string& error) {
    StoreOpenFailure failure;
    std::unique_ptr<FlowStore> store = openFlowStore(location, false, failure, error);
    std::vector<StoreHost> rows;
    if (!store || !store->listHosts(rows, error)) return false;
    for (const StoreHost& h : rows) hosts.push_back(CollectorHost{h.exporter.text(), h.records, h.lastSeen});
    return true;
  };
  return web;
}

// What the received messages become: lines on standard output, records in
// the store's queue, reports on standard error (held back when repeated).
struct Receiver {
  const Options& options;
  bool printing;
  bool storing;
  StoreWriter& writer;
  CollectedFlows flows;
  std::string lines;
  std::vector<StoredFlow> toStore;
  IpfixTemplates templates;  // learned from the IPFIX and NetFlow v9 exporters heard so far
  ReportLimiter limiter;

  void take(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort) {
    flows.reports.clear();
    const uint64_t now = currentTimeMillis();
    collectFlows(data, size, fromAddress, fromPort, templates, flows, now);
    if (printing && !flows.records.empty()) {
      lines.clear();
      for (const CollectedFlow& record : flows.records) {
        appendFlowLine(record, options.format, lines, {fromAddress, flows.obsdomain});
      }
      writeOut(lines);
    }
    if (storing && !flows.records.empty()) {
      const StoreAddress exporter = StoreAddress::ipv4(fromAddress);
      for (const CollectedFlow& record : flows.records) {
        StoredFlow& stored = toStore.emplace_back(storedFlowOf(record, exporter, flows.obsdomain));
        stored.pkts = record.packets;
        stored.bytes = record.octets;
      }
      queueFlows(writer, toStore);
    }
    for (const CollectorReport& report : flows.reports) {
      if (std::string line = limitReport(limiter, fromAddress, report, now); !line.empty()) writeErr(line);
    }
  }
};

// Opens the UDP socket of --listen; false, with the message written, when
// it cannot be had.
bool openDatagrams(const Options& options, UdpSocket& sock) {
  std::string error;
  uint16_t port = 0;
  if (!udpOpen(sock, error) || !udpBind(sock, options.address, options.port, error) ||
      !udpLocalPort(sock, port, error)) {
    writeErr("vantrel-collect: cannot listen on " + ipToDotted(options.address) + ":" +
             std::to_string(options.port) + ": " + error + "\n");
    udpClose(sock);
    return false;
  }
  writeErr("vantrel-collect: listening on " + ipToDotted(options.address) + ":" + std::to_string(port) + "\n");
  // Linux reports twice what it was asked for (the rest is its bookkeeping).
  if (const size_t queue = udpSetReceiveQueue(sock, kReceiveQueueBytes); queue < kReceiveQueueBytes) {
    writeErr("vantrel-collect: receive queue only " + std::to_string(queue) + " bytes (asked for " +
             std::to_string(kReceiveQueueBytes) + "); a burst of flows may be lost\n");
  }
  return true;
}

// Receives datagrams until a stop request, then what the socket holds.
void receiveDatagrams(UdpSocket& sock, Receiver& receiver) {
  std::string error;
  // Bigger than any UDP payload, so nothing arrives cut short.
  std::vector<uint8_t> buffer(65536);
  // After a stop request, what the socket already holds is still taken.
  bool draining = false;
  uint64_t drainUntil = 0;
  for (;;) {
    if (!draining && stopRequested) draining = true, drainUntil = currentTimeMillis() + kDrainMillis;
    if (draining && currentTimeMillis() > drainUntil) break;
    UdpDatagram got;
    UdpWait result = udpReceive(sock, buffer.data(), buffer.size(), draining ? 0 : kStopPollMillis, got, error);
    if (result == UdpWait::failed) {
      writeErr("vantrel-collect: receive failed: " + error + "\n");
      if (draining) break;
      sleepMillis(100);  // a lasting error repeats ten times a second, no faster
      continue;
    }
    if (result != UdpWait::received) {
      if (draining) break;
      continue;
    }
    receiver.take(buffer.data(), got.size, got.fromAddress, got.fromPort);
  }
  udpClose(sock);
}

// One exporter's IPFIX stream.
struct StreamPeer {
  TcpClient connection;
  IpfixStreamReader reader;
  uint32_t address = 0;
  uint16_t port = 0;
  uint64_t lastByteAt = 0;  // ms
};

std::string peerName(const StreamPeer& p) { return ipToDotted(p.address) + ":" + std::to_string(p.port); }

// Opens the TCP listener of --listen-tcp; false, with the message written,
// when it cannot be had.
bool openStreams(const Options& options, TcpListener& listener) {
  std::string error;
  uint16_t port = 0;
  if (!tcpListen(listener, options.tcpAddress, options.tcpPort, error) || !tcpListenerPort(listener, port, error)) {
    writeErr("vantrel-collect: cannot listen on " + ipToDotted(options.tcpAddress) + ":" +
             std::to_string(options.tcpPort) + " (TCP): " + error + "\n");
    tcpCloseListener(listener);
    return false;
  }
  writeErr("vantrel-collect: listening on " + ipToDotted(options.tcpAddress) + ":" + std::to_string(port) +
           " (TCP)\n");
  return true;
}

// Receives IPFIX streams from any number of exporters until a stop request;
// then ends each stream in order (the exporter sends no more once it reads
// the end, and closes) and reads everything sent before.
void receiveStreams(TcpListener& listener, Receiver& receiver) {
  std::string error;
  std::vector<StreamPeer> peers;
  std::vector<TcpClient> handles;
  std::vector<uint8_t> ready;
  std::vector<uint8_t> buffer(65536);
  bool draining = false;
  uint64_t drainUntil = 0;
  auto drop = [&](size_t i, const std::string& why) {
    if (!why.empty()) writeErr("vantrel-collect: dropped the connection from " + peerName(peers[i]) + ": " + why + "\n");
    tcpClose(peers[i].connection);
    peers.erase(peers.begin() + static_cast<long>(i));
  };
  for (;;) {
    const uint64_t now = currentTimeMillis();
    if (!draining && stopRequested) {
      draining = true;
      drainUntil = now + kStreamDrainMillis;
      tcpCloseListener(listener);  // new connections are refused, not left unread
      for (StreamPeer& p : peers) tcpShutdownSend(p.connection);
    }
    if (draining && (peers.empty() || now > drainUntil)) break;
    handles.clear();
    for (const StreamPeer& p : peers) handles.push_back(p.connection);
    bool listenerReady = false;
    if (!tcpWaitReadable(listener, handles, kStopPollMillis, listenerReady, ready, error)) {
      writeErr("vantrel-collect: receive failed: " + error + "\n");
      sleepMillis(100);
      continue;
    }
    if (listenerReady) {
      StreamPeer peer;
      while (tcpAccept(listener, peer.connection, peer.address, peer.port, error)) {
        peer.lastByteAt = now;
        peers.push_back(std::move(peer));
        peer = StreamPeer();
      }
    }
    // Backwards, so that a drop does not move the ones still to read.
    for (size_t i = std::min(ready.size(), peers.size()); i-- > 0;) {
      StreamPeer& p = peers[i];
      if (!ready[i]) {
        if (!p.reader.pending.empty() && now - p.lastByteAt > kStreamStallMillis) {
          drop(i, "no whole message for " + std::to_string(kStreamStallMillis / 1000) + " s");
        }
        continue;
      }
      const int64_t n = tcpReceive(p.connection, buffer.data(), buffer.size(), 0, error);
      if (n <= 0) {
        drop(i, n < 0 ? error : p.reader.pending.empty() ? "" : "it ended inside a message");
        continue;
      }
      p.lastByteAt = now;
      if (!readIpfixStream(p.reader, buffer.data(), static_cast<size_t>(n),
                           [&](const uint8_t* message, size_t size) { receiver.take(message, size, p.address, p.port); },
                           error)) {
        drop(i, error);
      }
    }
  }
  for (size_t i = peers.size(); i-- > 0;) drop(i, "it did not end its stream in time");
  tcpCloseListener(listener);
}

// Serves --listen and --listen-tcp, each given (both: the datagrams on a
// thread of their own, with their own templates and report limits).
int receive(const Options& options, bool printing, bool storing, StoreWriter& writer) {
  UdpSocket sock;
  TcpListener listener;
  if (options.udp && !openDatagrams(options, sock)) return 1;
  if (options.tcp && !openStreams(options, listener)) {
    if (options.udp) udpClose(sock);
    return 1;
  }
  if (printing) writeOut(collectorHeader(options.format));
  installStopHandlers(&stopRequested);
  Receiver datagrams{options, printing, storing, writer, {}, {}, {}, {}, {}};
  Receiver streams{options, printing, storing, writer, {}, {}, {}, {}, {}};
  if (!options.tcp) {
    receiveDatagrams(sock, datagrams);
  } else if (!options.udp) {
    receiveStreams(listener, streams);
  } else {
    std::thread udpThread([&] { receiveDatagrams(sock, datagrams); });
    receiveStreams(listener, streams);
    udpThread.join();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "query") == 0) {
    return runQueryCommand(std::vector<std::string>(argv + 2, argv + argc), writeOut, writeErr);
  }
  Options options;
  if (int status = parseArguments(argc, argv, options); status >= 0) return status;
  const bool storing = !options.store.empty();
  const bool printing = !storing || options.formatGiven;

  std::unique_ptr<FlowStore> store;
  if (storing && !(store = openStore(options))) return 3;

  StoreWriter writer;
  // ClickHouse prefers few big inserts (each makes a part on disk to merge);
  // the file store's transactions stay short.
  if (options.store.rfind(kClickHouseScheme, 0) == 0) options.storeSettings.batchRecords = kClickHouseBatchRecords;
  if (storing) startStoreWriter(writer, std::move(store), options.storeSettings, writeErr);
  const CollectorWeb web = webOf(options);
  MHD_Daemon* daemon = nullptr;
  if (options.web) {
    std::string why;
    if ((daemon = startCollectorWeb(web, why)) == nullptr) {
      writeErr("vantrel-collect: cannot serve the web view on " + ipToDotted(options.webAddress) + ":" +
               std::to_string(options.webPort) + ": " + why + "\n");
      finishStoreWriter(writer);
      return 1;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    writeErr("vantrel-collect: web view on http://" + ipToDotted(options.webAddress) + ":" +
             std::to_string(info != nullptr ? info->port : options.webPort) + "/\n");
  }
  const int status = receive(options, printing, storing, writer);
  if (daemon != nullptr) MHD_stop_daemon(daemon);
  if (!storing) return status;
  finishStoreWriter(writer);
  if (status != 0) return status;
  writeErr("vantrel-collect: stopped: " + std::to_string(writer.stored.load()) + " records stored, " +
           std::to_string(writer.dropped.load()) + " dropped" + (writer.dropped > 0 ? " (queue full)" : "") +
           (writer.lost > 0 ? ", " + std::to_string(writer.lost.load()) + " lost (the store failed)" : "") + "\n");
  return writer.lost > 0 ? 3 : 0;
}
