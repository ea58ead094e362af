#include "capture/capture.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/decode.h"
#include "capture/flow_names.h"
#include "capture/interface_addresses.h"
#include "capture/owner_lookups.h"
#include "flow/flow_table.h"
#include "flow/ip_text.h"
#include "platform/address_watch.h"
#include "platform/capture_socket.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "process/owner_table.h"
#include "runtime/console.h"
#include "runtime/listener.h"
#include "runtime/settings.h"
#include "runtime/state.h"
#include "runtime/traffic_history.h"

void (*capturePacketHook)() = nullptr;

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

// Following a discovered listener: address notices are looked for every
// 250 ms, and the adapter list is read at most once a second, only after a
// notice (every second when notices cannot be had).
constexpr uint64_t kNoticeLookMillis = 250;
constexpr uint64_t kAdapterReadMillis = 1000;

// The listener as a host-order number, from its "%d.%d.%d.%d" reading; parts
// that do not read count as 0 (bind has already accepted the text).
uint32_t localAddressOf(const std::string& listenerIP) {
  int a = 0, b = 0, c = 0, d = 0;
  sscanf(listenerIP.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d);
  return ((static_cast<uint32_t>(a) * 256u + static_cast<uint32_t>(b)) * 256u + static_cast<uint32_t>(c)) * 256u +
         static_cast<uint32_t>(d);
}

// How often the kernel's drop count is read: it is a system call, so not
// per packet, and it restarts at every read.
constexpr uint64_t kDropPollMillis = 250;

// Adds the packets the kernel dropped since the last read to
// snifferPacketsDropped.
void countDrops(CaptureSocket& s) {
  uint64_t dropped = 0;
  if (captureDrops(s, dropped) && dropped != 0) snifferPacketsDropped.fetch_add(dropped, std::memory_order_relaxed);
}

// Packets taken from the capture socket at once (a ring block may hold
// more; they come in the next hand-over).
constexpr size_t kFramesPerReceive = 1024;

// Decodes and counts the packets of one hand-over, each at its arrival time
// (the clock's when the system gave none), never before `lastPacketTime`,
// which becomes the last packet's time.
void takeFrames(const ReceivedFrame* frames, size_t count, uint32_t localAddress, uint64_t& lastPacketTime) {
  CapturedPacket packets[kFramesPerReceive];
  uint32_t counted[kFramesPerReceive];
  for (size_t i = 0; i < count; ++i) {
    const ReceivedFrame& f = frames[i];
    lastPacketTime = std::max(f.arrivedMillis != 0 ? f.arrivedMillis : currentTimeMillis(), lastPacketTime);
    packets[i] = CapturedPacket{f.data, f.length, f.wireLength, lastPacketTime};
  }
  decodePackets(packets, count, localAddress, counted);
  wakeOwnerLookups();
  snifferPacketCount += static_cast<int32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    // Either family: the bytes as the flows count them.
    recordTraffic(packets[i].now, counted[i], openFlowsAtLastSweep());
    if (capturePacketHook != nullptr) capturePacketHook();
  }
}

// A failed set-up step: prints its message `line`, which (with the system's
// words for `error`) becomes the capture error, closes the socket if it is
// open and ends the run.
void failSetUp(CaptureSocket& s, const std::string& line, int error) {
  consoleWrite(line);
  const size_t first = line.find_first_not_of('\n');
  const size_t last = line.find_last_not_of('\n');
  std::string reason = first == std::string::npos ? line : line.substr(first, last - first + 1);
  if (error != 0) reason += " (" + systemErrorText(error) + ")";
  setCaptureStatus(CaptureState::kFailing, reason);
  int ignored = 0;
  if (s.handle != -1) captureClose(s, ignored);
  snifferRunning = false;
}

// Takes the IPv6 addresses of the listener's adapter in `list` (into `found`)
// as the local ones for the direction of IPv6 packets; a list that could not
// be read, or that no longer holds the listener, leaves both as they are.
// Capture thread.
void takeLocalAddresses6(const AdapterList& list, uint32_t localAddress, std::vector<AdapterUnicast6>& found) {
  if (!listenerAddresses6(list, localAddress, found)) return;
  Ip6Address addresses[kMaxLocalAddresses6];
  size_t count = 0;
  for (const AdapterUnicast6& u : found) {
    if (count < kMaxLocalAddresses6) addresses[count++] = u.address;
  }
  setLocalAddresses6(addresses, count);
}

// Sets up the capture of IPv6 packets beside IPv4 when captureIPv6 is true
// (absent: true), with the interface's IPv6 addresses as the local ones.
// Where it cannot be had one line says so and IPv4 capture goes on. True
// when IPv6 packets are captured.
bool setUpIpv6(CaptureSocket& s, uint32_t localAddress) {
  setLocalAddresses6(nullptr, 0);
  if (!settingFlag("captureIPv6", true)) {
    consolePrintf("captureIPv6 is false: IPv6 packets are not captured\n");
    return false;
  }
  std::vector<AdapterUnicast6> addresses;
  takeLocalAddresses6(listAdapters(), localAddress, addresses);
  const AdapterUnicast6* bindTo = captureBindAddress6(addresses);
  int error = 0;
  if (captureIpv6(s, bindTo, error)) return true;
  std::string where = "(no IPv6 address)";
  if (bindTo != nullptr) {
    where = ip6Text(bindTo->address);
    if (bindTo->scopeId != 0) where += "%" + std::to_string(bindTo->scopeId);
  }
  consolePrintf("IPv6 capture on %s could not be set up, code %d (%s); capturing IPv4 only\n", where.c_str(), error,
                systemErrorText(error).c_str());
  return false;
}

// A run's watch over a listener that discovery chose, and over the
// interface's IPv6 addresses while IPv6 packets are captured.
struct ListenerFollow {
  bool on = false;        // the listener came from discovery
  bool ipv6 = false;      // the local IPv6 set follows the interface
  bool watching = false;  // address notices can be had
  bool pending = false;   // a notice the adapter list has not been read for yet
  uint64_t nextLook = 0;
  uint64_t nextRead = 0;
  AddressWatch watch;
};

// Refreshes the local IPv6 set after an address notice, then: true when the
// discovered listener has left its interface; it has then been dropped (with
// its line) and the run should end.
bool listenerHasMoved(ListenerFollow& f, uint32_t localAddress, uint64_t now) {
  if (now < f.nextLook) return false;
  f.nextLook = now + kNoticeLookMillis;
  if (!f.watching || addressesChanged(f.watch)) f.pending = true;
  if (!f.pending || now < f.nextRead) return false;
  f.pending = false;
  f.nextRead = now + kAdapterReadMillis;
  const AdapterList list = listAdapters();
  std::vector<AdapterUnicast6> addresses6;
  if (f.ipv6) takeLocalAddresses6(list, localAddress, addresses6);
  return f.on && followDiscoveredListener(list);
}

}  // namespace

void runSniffer() {
  snifferRunning = true;
  if (captureStatusSnapshot().state != CaptureState::kFailing) setCaptureStatus(CaptureState::kStarting);
  captureStartup();

  CaptureSocket s;
  int error = 0;
  if (!captureOpen(s, error)) return failSetUp(s, formatText("Sniffer Socket creation FAILED!\n"), error);
  consolePrintf("Sniffer Socket created!\n");
  // peerNames (absent: true): packets that carry names come whole and name flows.
  s.wholeNamePackets = settingFlag("peerNames", true);
  setPeerNames(s.wholeNamePackets);
  if (!s.wholeNamePackets) consolePrintf("peerNames is false: flows are not named\n");

  const uint32_t handOver = ownerEventsRunning ? kHandOverWithEventsMillis : kHandOverWithoutEventsMillis;
  if (!captureSetOptions(s, handOver, error)) {
    return failSetUp(s, formatText("Sniffer unable to set socket options!\n"), error);
  }
  consolePrintf("Sniffer options set!\n");

  const std::string listenerIP = settingString("listenerIP");
  consolePrintf("\nBinding to :%s", listenerIP.c_str());
  if (!captureBind(s, listenerIP, error)) {
    return failSetUp(s, formatText("\nListener binding Socket FAILED code:%i\n", error), error);
  }
  consolePrintf("\nListener Socket bound to %s!", listenerIP.c_str());

  if (!captureReceiveAll(s, error)) {
    return failSetUp(s, formatText("\nListener Socket couldn't set IO control!\n"), error);
  }
  consolePrintf("\nListener Socket IO controls set!\n");

  snifferPacketCount = 0;
  setCaptureStatus(CaptureState::kCapturing);
  consoleRelease();  // the set-up went through: lines the supervisor held are shown
  const uint32_t localAddress = localAddressOf(listenerIP);
  ListenerFollow follow;
  follow.on = listenerDiscovered(listenerIP);
  follow.ipv6 = setUpIpv6(s, localAddress);
  follow.watching = (follow.on || follow.ipv6) && addressWatchOpen(follow.watch, error);
  uint8_t buffer[kReceiveBufferBytes];
  ReceivedFrame frames[kFramesPerReceive];
  uint64_t lastPacketTime = 0;
  CaptureState endState = CaptureState::kStopped;
  std::string endError;

  // Each receive waits at most kCaptureWaitMillis, so a stop request is seen
  // on a silent interface too. Only a datagram that arrived is decoded and
  // counted; a quiet wait still runs the sweep so idle flows finish. A socket
  // error ends the run: the supervisor retries after its pause. A stop ends
  // it once the ring has handed over what it held when the stop came (the
  // last hand-over time of packets is still this run's): at the first quiet
  // wait after the stop, or one hand-over time after it.
  uint64_t stopBy = 0;
  // Drops before the bind may be other interfaces' packets: not counted.
  uint64_t droppedBefore = 0;
  captureDrops(s, droppedBefore);
  uint64_t nextDropPoll = currentTimeMillis() + kDropPollMillis;
  resetVersionLines();
  startOwnerLookups();
  for (;;) {
    if (stopBy == 0 && !keepSniffing) stopBy = currentTimeMillis() + handOver;
    if (stopBy != 0 && currentTimeMillis() > stopBy) break;
    size_t count = 0;
    const Received r = captureReceiveBlock(s, frames, kFramesPerReceive, count, buffer, sizeof buffer);
    uint64_t now;
    if (r.status == ReceiveStatus::kPacket) {
      // The arrival stamp, where the system gives one, is truer than the
      // clock read now: packets can wait in the queue. Times never go back.
      takeFrames(frames, count, localAddress, lastPacketTime);
      now = lastPacketTime;
    } else if (r.status == ReceiveStatus::kTimeout) {
      if (stopBy != 0) break;
      now = currentTimeMillis();
      sweepFlows(now);
    } else if (r.status == ReceiveStatus::kFailed) {
      endError = formatText("Capture socket error %d (%s)", r.error, systemErrorText(r.error).c_str());
      consoleWrite(endError + "\n");
      endState = CaptureState::kFailing;
      break;
    } else {
      continue;
    }
    if (now >= nextDropPoll) {
      countDrops(s);
      nextDropPoll = now + kDropPollMillis;
    }
    if ((follow.on || follow.ipv6) && listenerHasMoved(follow, localAddress, now)) {
      endState = CaptureState::kStarting;
      break;
    }
  }

  if (follow.watching) addressWatchClose(follow.watch);
  countDrops(s);
  stopOwnerLookups();
  consolePrintf("Exiting sniffer\n");
  if (!captureClose(s, error)) consoleWidePrintf(L"closesocket for listener failed with error: %d\n", error);
  captureCleanup();
  setCaptureStatus(endState, endError);
  snifferRunning = false;
}
