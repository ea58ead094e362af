#include "capture/capture.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "capture/decode.h"
#include "flow/flow_table.h"
#include "platform/capture_socket.h"
#include "platform/clock.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/state.h"

namespace {

constexpr size_t kReceiveBufferBytes = 4098;

// How long the capture ring may hold packets before handing them over. Each
// wake-up costs tens of microseconds, and 100 ms takes some 40 % off the CPU
// time at 10,000 packets a second. But without owner events a new flow's
// owner can only be found while its socket is open, and short exchanges (a
// name lookup, a small request) close theirs within tens of milliseconds:
// then packets must come within 20 ms.
constexpr uint32_t kHandOverWithEventsMillis = 100;
constexpr uint32_t kHandOverWithoutEventsMillis = 20;

// The listener as a host-order number, from its "%d.%d.%d.%d" reading; parts
// that do not read count as 0 (bind has already accepted the text).
uint32_t localAddressOf(const std::string& listenerIP) {
  int a = 0, b = 0, c = 0, d = 0;
  sscanf(listenerIP.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d);
  return ((static_cast<uint32_t>(a) * 256u + static_cast<uint32_t>(b)) * 256u + static_cast<uint32_t>(c)) * 256u +
         static_cast<uint32_t>(d);
}

// A failed set-up step after the socket was opened: close it and end the run.
void abandon(CaptureSocket& s) {
  int ignored = 0;
  captureClose(s, ignored);
  snifferRunning = false;
}

}  // namespace

void runSniffer() {
  snifferRunning = true;
  captureStartup();

  CaptureSocket s;
  int error = 0;
  if (!captureOpen(s, error)) {
    consolePrintf("Sniffer Socket creation FAILED!\n");
    snifferRunning = false;
    return;
  }
  consolePrintf("Sniffer Socket created!\n");

  const uint32_t handOver = ownerEventsRunning ? kHandOverWithEventsMillis : kHandOverWithoutEventsMillis;
  if (!captureSetOptions(s, handOver, error)) {
    consolePrintf("Sniffer unable to set socket options!\n");
    return abandon(s);
  }
  consolePrintf("Sniffer options set!\n");

  const std::string listenerIP = settingString("listenerIP");
  consolePrintf("\nBinding to :%s", listenerIP.c_str());
  if (!captureBind(s, listenerIP, error)) {
    consolePrintf("\nListener binding Socket FAILED code:%i\n", error);
    return abandon(s);
  }
  consolePrintf("\nListener Socket bound to %s!", listenerIP.c_str());

  if (!captureReceiveAll(s, error)) {
    consolePrintf("\nListener Socket couldn't set IO control!\n");
    return abandon(s);
  }
  consolePrintf("\nListener Socket IO controls set!\n");

  snifferPacketCount = 0;
  consoleRelease();  // the set-up went through: lines the supervisor held are shown
  const uint32_t localAddress = localAddressOf(listenerIP);
  uint8_t buffer[kReceiveBufferBytes];
  uint64_t lastPacketTime = 0;

  // Each receive waits at most kCaptureWaitMillis, so a stop request is seen
  // on a silent interface too. Only a datagram that arrived is decoded and
  // counted; a quiet wait still runs the sweep so idle flows finish.
  while (keepSniffing) {
    const Received r = captureReceive(s, buffer, sizeof buffer);
    if (r.status == ReceiveStatus::kPacket) {
      // The arrival stamp, where the system gives one, is truer than the
      // clock read now: packets can wait in the queue. Times never go back.
      const uint64_t now = std::max(r.arrivedMillis != 0 ? r.arrivedMillis : currentTimeMillis(), lastPacketTime);
      lastPacketTime = now;
      decodePacket(buffer, r.length, localAddress, now, r.wireLength);
      ++snifferPacketCount;
    } else if (r.status == ReceiveStatus::kTimeout) {
      sweepFlows(currentTimeMillis());
    }
  }

  consolePrintf("Exiting sniffer\n");
  if (!captureClose(s, error)) consoleWidePrintf(L"closesocket for listener failed with error: %d\n", error);
  captureCleanup();
  snifferRunning = false;
}
