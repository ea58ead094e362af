#include "export/export_sender.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "export/datagram_builder.h"
#include "export/ipfix_stream_link.h"
#include "flow/flow_table.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"

namespace {

// Records taken from toExport per lock; the lock is held only for the move.
constexpr size_t kTakePerLock = 64;

// Spaces sends at kExportDatagramsPerSecond on average, at most
// kExportBurstDatagrams back to back: a sweep or the orderly stop can finish
// tens of thousands of flows at once, and sent as fast as the socket takes
// them they overrun a collector's receive queue within milliseconds. When it
// runs ahead it sleeps until a whole burst is due again, so it sleeps once a
// burst rather than once a datagram. One per run.
struct Pacer {
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kInterval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kExportDatagramsPerSecond;
  static constexpr Clock::duration kBurst = kInterval * kExportBurstDatagrams;

  Clock::time_point due{};  // when the next datagram is due at the steady pace

  void beforeSend() {
    const Clock::time_point now = Clock::now();
    // A quiet spell earns at most one burst.
    if (due < now - kBurst) due = now - kBurst;
    if (due > now) std::this_thread::sleep_until(due + kBurst - kInterval);
    due += kInterval;
  }
};

uint64_t steadyMillis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A socket set-up failure: "<what>: <system text>" on standard error, as
// perror writes it, then the process ends with status 1. _Exit rather than
// exit, so no static destructor runs under the other threads' feet.
[[noreturn]] void failSetup(const char* what, const std::string& systemText) {
  const std::string line = std::string(what) + ": " + systemText + "\n";
  fflush(stdout);
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  std::_Exit(1);
}

// Moves every record waiting in toExport into the datagram, in order,
// including those appended meanwhile.
void drainExports(DatagramBuilder& datagram, std::vector<FlowEntry>& taken) {
  for (;;) {
    taken.clear();
    if (takeExports(taken, kTakePerLock) == 0) break;
    const uint64_t now = steadyMillis();
    for (const FlowEntry& record : taken) datagram.add(record, now);
  }
  taken.clear();
}

// The IPv6 flows the native format left out, told at most once a minute:
// the first at once, later ones with the count since the last line.
struct SkipReport {
  uint64_t told = exportsSkippedIPv6.load();
  uint64_t nextAt = 0;

  void tell(uint64_t now, bool evenIfSoon) {
    const uint64_t skipped = exportsSkippedIPv6.load();
    if (skipped == told || (now < nextAt && !evenIfSoon)) return;
    const uint64_t n = skipped - told;
    consoleWrite("Export left out " + std::to_string(n) + (n == 1 ? " IPv6 flow" : " IPv6 flows") +
                 ": the native format carries IPv4 only; exportFormat \"ipfix\" carries IPv6 too\n");
    told = skipped;
    nextAt = now + 60000;
  }
};

}  // namespace

bool streamTransportSetting(const Json::Value& value, ExportFormat format) {
  if (value.isNull()) return false;
  Json::Value member(Json::objectValue);
  member["exportTransport"] = value;
  const std::string name = readStringMember(member, "exportTransport", "udp");
  if (name == "tcp" && format == ExportFormat::ipfix) return true;
  if (name == "tcp") {
    consoleWrite("Setting exportTransport \"tcp\" needs exportFormat \"ipfix\"; using \"udp\"\n");
  } else if (name != "udp") {
    consoleWrite("Setting exportTransport should be \"udp\" or \"tcp\" but holds " + jsonText(Json::Value(name)) +
                 "; using \"udp\"\n");
  }
  return false;
}

ExportFormat exportFormatSetting(const Json::Value& value) {
  if (value.isNull()) return ExportFormat::native;
  Json::Value member(Json::objectValue);
  member["exportFormat"] = value;
  const std::string name = readStringMember(member, "exportFormat", kExportFormatNative);
  ExportFormat format = ExportFormat::native;
  if (!exportFormatFromName(name, format)) {
    consoleWrite("Setting exportFormat should be \"native\" or \"ipfix\" but holds " + jsonText(Json::Value(name)) +
                 "; using \"native\"\n");
  }
  return format;
}

namespace {

// Moves waiting records into the message while the link is up; true when
// toExport is empty.
bool drainWhileUp(DatagramBuilder& message, IpfixStreamLink& link, std::vector<FlowEntry>& taken) {
  while (link.connection.handle != -1) {
    taken.clear();
    if (takeExports(taken, kTakePerLock) == 0) return true;
    const uint64_t now = steadyMillis();
    for (const FlowEntry& record : taken) message.add(record, now);
  }
  taken.clear();
  return toExportSize() == 0;
}

// Finished flows that may wait while the collector is away: as many as the
// tables hold open, so that a stop burst fits whole.
constexpr size_t kMaxWaitingExports = kFlowCacheLimit;

// Set while a run exports over TCP.
std::atomic<bool> streaming{false};

// The run over TCP: see exportsender.
void streamExport(const std::string& receiverIP, uint16_t port) {
  IpfixStreamLink link;
  link.host = receiverIP;
  link.port = port;
  DatagramBuilder message(
      [&](const uint8_t* data, size_t size) {
        streamLinkSend(link, data, size, steadyMillis());
        return static_cast<int64_t>(size);
      },
      ExportFormat::ipfix);
  std::vector<FlowEntry> taken;
  taken.reserve(kTakePerLock);
  while (keepSendingExports) {
    if (streamLinkReady(link, steadyMillis())) {
      drainWhileUp(message, link, taken);
      message.sendIfStale(steadyMillis());
    } else {
      exportsDropped += trimExports(kMaxWaitingExports);
    }
    sleepMillis(100);
  }
  // The rest: everything still waiting, delivered while the collector can
  // be reached, for kStreamStopMillis at most.
  const uint64_t giveUpAt = steadyMillis() + kStreamStopMillis;
  for (;;) {
    if (streamLinkReady(link, steadyMillis()) && drainWhileUp(message, link, taken)) {
      message.sendPending();
      if (streamLinkReady(link, steadyMillis()) && link.held.empty()) break;
    }
    if (steadyMillis() >= giveUpAt) break;
    sleepMillis(100);
  }
  streamLinkClose(link);
  const size_t records = clearExports() + message.count;
  if (records > 0 || !link.held.empty()) {
    exportsDropped += records;
    consoleWrite("Export ended with the collector unreachable: " + std::to_string(records) + " records and " +
                 std::to_string(link.held.size()) + " messages not delivered\n");
  }
}

}  // namespace

uint32_t exportStopMillis(size_t records) {
  return exportDrainMillis(records) + (streaming ? static_cast<uint32_t>(kStreamStopMillis) : 0);
}

void exportsender() {
  exporterRunning = true;
  const std::string receiverIP = settingString("receiverIP");
  const int32_t receiverPort = settingPort("receiverPort");
  const ExportFormat format = exportFormatSetting(settingValue("exportFormat"));
  const bool stream = streamTransportSetting(settingValue("exportTransport"), format);
  const std::string shownIP = jsonText(Json::Value(receiverIP));
  if (stream) {
    consoleWrite("exporting IPFIX over TCP to " + shownIP + ":" + std::to_string(receiverPort) + "\n");
    streaming = true;
    streamExport(receiverIP, static_cast<uint16_t>(receiverPort));
    streaming = false;
    consoleWrite("Exiting exportsender\n");
    exporterRunning = false;
    return;
  }

  consoleWrite("creating exporter socket:" + shownIP + ":" + std::to_string(receiverPort) + "\n");
  UdpSocket sock;
  std::string error;
  if (!udpOpen(sock, error)) failSetup("Failed to create socket", error);
  consoleWrite("created exporter socket " + shownIP + "\n");
  if (!udpBind(sock, 0, 0, error)) failSetup("exporter bind failed", error);
  consoleWrite("exporter bind socket " + shownIP + "\n");

  // Not a dotted address: the destination stays 0.0.0.0 and every send fails.
  uint32_t destination = 0;
  ipv4FromText(receiverIP, destination);
  const uint16_t destinationPort = static_cast<uint16_t>(receiverPort);

  Pacer pacer;
  DatagramBuilder datagram(
      [&](const uint8_t* data, size_t size) {
        pacer.beforeSend();
        return udpSendTo(sock, data, size, destination, destinationPort);
      },
      format);
  std::vector<FlowEntry> taken;
  taken.reserve(kTakePerLock);
  SkipReport skips;
  if (keepSendingExports) {
    do {
      drainExports(datagram, taken);
      datagram.sendIfStale(steadyMillis());
      skips.tell(steadyMillis(), false);
      sleepMillis(100);
    } while (keepSendingExports);
  }

  // Records still waiting (an orderly stop hands every open flow over just
  // before it ends the run) and a partly filled datagram leave before the
  // socket closes.
  drainExports(datagram, taken);
  datagram.sendPending();
  skips.tell(steadyMillis(), true);
  consoleWrite("Exiting exportsender\n");
  udpClose(sock);
  exporterRunning = false;
}
