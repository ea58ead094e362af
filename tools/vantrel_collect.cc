// vantrel-collect: receives the monitor's export datagrams, native or IPFIX,
// on a UDP port and writes one line per flow record on standard output, as
// JSON or CSV. Malformed datagrams, and IPFIX data sets whose template has
// not been seen yet, are reported on standard error and skipped.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/collector_output.h"
#include "flow/ip_text.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"

namespace {

const char* const kUsage =
    "Usage: vantrel-collect [--listen ADDR:PORT] [--format json|csv]\n"
    "\n"
    "Receives the flow records that Vantrel exports (receiverIP:receiverPort in\n"
    "its settings), as its own datagrams or as IPFIX (exportFormat \"ipfix\"), and\n"
    "writes one line per record on standard output.\n"
    "\n"
    "  --listen ADDR:PORT  IPv4 address and UDP port to listen on (default 0.0.0.0:2055)\n"
    "  --format json|csv   json (default): one JSON object per line with the members\n"
    "                      inif, outif, firstseen, lastseen, srcip, dstip, srcport,\n"
    "                      dstport, pkts, bytes, flags, tos, proto, processname, user,\n"
    "                      domain, replydelay; csv: a header line, then one row per\n"
    "                      record with those columns, strings in double quotes\n"
    "  --help              show this text\n"
    "\n"
    "Times are milliseconds since 1970-01-01 00:00 UTC. A datagram that is not a\n"
    "well-formed export datagram or IPFIX message is reported on standard error\n"
    "with its sender and skipped. IPFIX templates are learned per exporter address,\n"
    "observation domain and template id; data sets whose template has not been\n"
    "seen yet are reported on standard error and skipped.\n";

// Receive queue asked for: a monitor sends the flows of a sweep or of its
// orderly stop (hundreds of thousands of records) in one burst, faster than
// lines can be written.
constexpr size_t kReceiveQueueBytes = 64 * 1024 * 1024;

struct Options {
  uint32_t address = 0;
  uint16_t port = 2055;
  CollectorFormat format = CollectorFormat::json;
};

void writeOut(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void writeErr(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

// "ADDR:PORT" with a dotted IPv4 address and a port 0..65535.
bool parseListen(const std::string& text, Options& options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string portText = text.substr(colon + 1);
  if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long port = std::stoul(portText);
  if (port > 65535) return false;
  if (!ipv4FromText(text.substr(0, colon), options.address)) return false;
  options.port = static_cast<uint16_t>(port);
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
    } else if ((arg == "--listen" || arg == "--format") && i + 1 < argc) {
      value = argv[++i];
      shown += " " + value;
    }
    if (arg == "--help" || arg == "-h") {
      writeOut(kUsage);
      return 0;
    }
    if (arg == "--listen" && parseListen(value, options)) continue;
    if (arg == "--format" && (value == "json" || value == "csv")) {
      options.format = value == "csv" ? CollectorFormat::csv : CollectorFormat::json;
      continue;
    }
    writeErr("vantrel-collect: bad argument '" + shown + "'\n" + kUsage);
    return 2;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = parseArguments(argc, argv, options); status >= 0) return status;

  UdpSocket sock;
  std::string error;
  uint16_t port = 0;
  if (!udpOpen(sock, error) || !udpBind(sock, options.address, options.port, error) ||
      !udpLocalPort(sock, port, error)) {
    writeErr("vantrel-collect: cannot listen on " + ipToDotted(options.address) + ":" +
             std::to_string(options.port) + ": " + error + "\n");
    return 1;
  }
  writeErr("vantrel-collect: listening on " + ipToDotted(options.address) + ":" + std::to_string(port) + "\n");
  // Linux reports twice what it was asked for (the rest is its bookkeeping).
  if (const size_t queue = udpSetReceiveQueue(sock, kReceiveQueueBytes); queue < kReceiveQueueBytes) {
    writeErr("vantrel-collect: receive queue only " + std::to_string(queue) + " bytes (asked for " +
             std::to_string(kReceiveQueueBytes) + "); a burst of flows may be lost\n");
  }
  writeOut(collectorHeader(options.format));

  // Bigger than any UDP payload, so nothing arrives cut short.
  std::vector<uint8_t> buffer(65536);
  CollectedText text;
  IpfixTemplates templates;  // learned from the IPFIX exporters heard so far
  for (;;) {
    UdpDatagram got;
    UdpWait result = udpReceive(sock, buffer.data(), buffer.size(), -1, got, error);
    if (result == UdpWait::failed) {
      writeErr("vantrel-collect: receive failed: " + error + "\n");
      sleepMillis(100);  // a lasting error repeats ten times a second, no faster
      continue;
    }
    if (result != UdpWait::received) continue;
    text.lines.clear();
    text.reports.clear();
    collectDatagram(buffer.data(), got.size, got.fromAddress, got.fromPort, templates, options.format, text);
    if (!text.lines.empty()) writeOut(text.lines);
    if (!text.reports.empty()) writeErr(text.reports);
  }
}
