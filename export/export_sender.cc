#include "export/export_sender.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "export/datagram_builder.h"
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

void exportsender() {
  exporterRunning = true;
  const std::string receiverIP = settingString("receiverIP");
  const int32_t receiverPort = settingPort("receiverPort");
  const ExportFormat format = exportFormatSetting(settingValue("exportFormat"));
  const std::string shownIP = jsonText(Json::Value(receiverIP));

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
