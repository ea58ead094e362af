// Windows owner events: a real-time trace session of our own name with the
// kernel's network event provider enabled in it, which reports every TCP
// connect, accept, send, receive and disconnect and every UDP send and
// receive of the machine with the process id and both ends. A thread of its
// own runs ProcessTrace; its callback decodes each event
// (kernel_network_events.h) into a bounded queue that readOwnerEvents
// empties. Starting the session needs administrator rights (LocalSystem has
// them); the session is system-wide and outlives a process that does not
// stop it, so a stale one of our name is stopped before ours starts.
#include "platform/owner_events.h"

#include <windows.h>
#include <evntcons.h>
#include <evntrace.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/error_text.h"
#include "platform/kernel_network_events.h"

namespace {

constexpr wchar_t kSessionName[] = L"Vantrel Owner Events";

// Microsoft-Windows-Kernel-Network.
constexpr GUID kKernelNetwork = {0x7dd42a49, 0x5329, 0x4832, {0x8d, 0xfd, 0x43, 0xd9, 0x79, 0x15, 0x3a, 0x88}};
// Its keywords KERNEL_NETWORK_KEYWORD_IPV4 and KERNEL_NETWORK_KEYWORD_IPV6.
constexpr ULONGLONG kIpv4AndIpv6 = 0x10 | 0x20;

// Not in every SDK's headers: EVENT_FILTER_TYPE_EVENT_ID (Windows 8.1 and
// later).
constexpr ULONG kEventIdFilter = 0x80000200;

// The session hands its buffers over when they are full or once a second;
// the reader flushes them this often besides, so that an event is seen soon
// after the socket's first packet.
constexpr int kFlushMillis = 50;
// Events decoded but not yet read; beyond this, new ones are dropped.
constexpr size_t kQueueMax = 65536;

struct SessionProperties {
  EVENT_TRACE_PROPERTIES p;
  wchar_t name[64];
};

SessionProperties sessionProperties() {
  SessionProperties s = {};
  s.p.Wnode.BufferSize = sizeof s;
  s.p.LoggerNameOffset = offsetof(SessionProperties, name);
  return s;
}

// EVENT_FILTER_EVENT_ID with room for our ids.
struct EventIdFilter {
  BOOLEAN filterIn;
  UCHAR reserved;
  USHORT count;
  USHORT events[std::size(kKernelNetworkEventIds)];
};

struct Source {
  TRACEHANDLE session = 0;
  TRACEHANDLE trace = INVALID_PROCESSTRACE_HANDLE;
  std::thread consumer;  // runs ProcessTrace
  std::chrono::steady_clock::time_point nextFlush;  // the reader's next flush; reader only

  std::mutex queueMutex;  // guards the members below
  std::condition_variable queueChanged;
  std::vector<OwnerEvent> queue;
  bool closesLost = false;  // a disconnect was dropped from a full queue
  bool ended = false;       // ProcessTrace returned
  ULONG endError = 0;       // its result
  // The newest event queued, so that a run of events of one socket (a
  // stream's sends) is queued once per read.
  uint64_t lastCookie = 0;
  OwnerEventKind lastKind = OwnerEventKind::kOwned;
  uint32_t lastPid = 0;
};
Source source;

std::string reasonOf(const char* step, ULONG error) {
  std::string reason = std::string(step) + ": " + systemErrorText(static_cast<int>(error));
  // What refuses an ordinary user.
  if (error == ERROR_ACCESS_DENIED && source.session == 0) reason += " (needs administrator rights)";
  return reason;
}

// Stops the session of our name, whoever started it.
void stopSessionByName() {
  SessionProperties s = sessionProperties();
  ControlTraceW(0, kSessionName, &s.p, EVENT_TRACE_CONTROL_STOP);
}

ULONG startSession() {
  ULONG rc = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SessionProperties s = sessionProperties();
    s.p.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    s.p.Wnode.ClientContext = 1;  // timestamps from the performance counter
    s.p.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    s.p.FlushTimer = 1;   // s
    s.p.BufferSize = 16;  // KB
    s.p.MinimumBuffers = 4;
    s.p.MaximumBuffers = 128;
    rc = StartTraceW(&source.session, kSessionName, &s.p);
    // Left by a monitor that ended without its orderly stop.
    if (rc != ERROR_ALREADY_EXISTS) break;
    stopSessionByName();
  }
  return rc;
}

// Asks the provider for our events only; where the system cannot filter
// by id, for all of its IPv4 and IPv6 events (the others are not decoded).
ULONG enableProvider() {
  EventIdFilter ids = {};
  ids.filterIn = TRUE;
  ids.count = static_cast<USHORT>(std::size(kKernelNetworkEventIds));
  for (size_t i = 0; i < std::size(kKernelNetworkEventIds); ++i) ids.events[i] = kKernelNetworkEventIds[i];
  EVENT_FILTER_DESCRIPTOR filter = {};
  filter.Ptr = reinterpret_cast<ULONGLONG>(&ids);
  filter.Size = sizeof ids;
  filter.Type = kEventIdFilter;

  ULONG rc = ERROR_INVALID_PARAMETER;
  for (bool filtered : {true, false}) {
    ENABLE_TRACE_PARAMETERS parameters = {};
    parameters.Version = ENABLE_TRACE_PARAMETERS_VERSION_2;
    parameters.EnableFilterDesc = filtered ? &filter : nullptr;
    parameters.FilterDescCount = filtered ? 1 : 0;
    rc = EnableTraceEx2(source.session, &kKernelNetwork, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_VERBOSE,
                        kIpv4AndIpv6, 0, 0, &parameters);
    if (rc == ERROR_SUCCESS) return rc;
  }
  return rc;
}

void WINAPI takeEvent(PEVENT_RECORD record) {
  if (!IsEqualGUID(record->EventHeader.ProviderId, kKernelNetwork)) return;
  OwnerEvent decoded[2];
  const size_t n = decodeKernelNetworkEvent(record->EventHeader.EventDescriptor.Id,
                                            static_cast<const uint8_t*>(record->UserData), record->UserDataLength,
                                            decoded);
  if (n == 0) return;
  const OwnerEvent& first = decoded[0];
  std::lock_guard<std::mutex> lock(source.queueMutex);
  if (!source.queue.empty() && first.cookie == source.lastCookie && first.kind == source.lastKind &&
      first.pid == source.lastPid) {
    return;
  }
  if (source.queue.size() + n > kQueueMax) {
    if (first.kind == OwnerEventKind::kClosed) source.closesLost = true;
    return;
  }
  source.queue.insert(source.queue.end(), decoded, decoded + n);
  source.lastCookie = first.cookie;
  source.lastKind = first.kind;
  source.lastPid = first.pid;
  source.queueChanged.notify_one();
}

void consume(TRACEHANDLE trace) {
  const ULONG rc = ProcessTrace(&trace, 1, nullptr, nullptr);
  std::lock_guard<std::mutex> lock(source.queueMutex);
  source.ended = true;
  source.endError = rc == ERROR_SUCCESS ? ERROR_CANCELLED : rc;
  source.queueChanged.notify_one();
}

OwnerEventsOpen failed(const char* step, ULONG error) {
  const std::string reason = reasonOf(step, error);
  closeOwnerEvents();
  return OwnerEventsOpen{static_cast<int>(error), reason};
}

}  // namespace

OwnerEventsOpen openOwnerEvents() {
  closeOwnerEvents();
  ULONG rc = startSession();
  if (rc != ERROR_SUCCESS) {
    source.session = 0;
    return failed("starting the trace session", rc);
  }
  if ((rc = enableProvider()) != ERROR_SUCCESS) return failed("enabling the kernel network events", rc);

  wchar_t name[std::size(kSessionName)];
  std::copy(std::begin(kSessionName), std::end(kSessionName), name);
  EVENT_TRACE_LOGFILEW log = {};
  log.LoggerName = name;
  log.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
  log.EventRecordCallback = takeEvent;
  source.trace = OpenTraceW(&log);
  if (source.trace == INVALID_PROCESSTRACE_HANDLE) {
    rc = GetLastError();
    return failed("opening the trace session", rc == ERROR_SUCCESS ? ERROR_INVALID_HANDLE : rc);
  }
  source.consumer = std::thread(consume, source.trace);
  return OwnerEventsOpen{};
}

int readOwnerEvents(std::vector<OwnerEvent>& out, int timeoutMillis) {
  if (!source.consumer.joinable()) return ERROR_INVALID_HANDLE;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMillis);
  const auto ready = [] { return !source.queue.empty() || source.closesLost || source.ended; };
  std::unique_lock<std::mutex> lock(source.queueMutex);
  for (Clock::time_point now = Clock::now(); !ready() && now < until; now = Clock::now()) {
    if (now >= source.nextFlush) {
      lock.unlock();
      SessionProperties s = sessionProperties();
      ControlTraceW(source.session, nullptr, &s.p, EVENT_TRACE_CONTROL_FLUSH);
      lock.lock();
      source.nextFlush = now + std::chrono::milliseconds(kFlushMillis);
    }
    source.queueChanged.wait_until(lock, std::min(source.nextFlush, until), ready);
  }
  const bool empty = source.queue.empty() && !source.closesLost;
  out.insert(out.end(), source.queue.begin(), source.queue.end());
  source.queue.clear();
  if (source.closesLost) {
    OwnerEvent lost;
    lost.kind = OwnerEventKind::kClosesLost;
    out.push_back(lost);
    source.closesLost = false;
  }
  // The last events first; then the end.
  return empty && source.ended ? static_cast<int>(source.endError) : 0;
}

uint64_t ownerEventsNamespace() { return 0; }

bool walkOwnerCgroups(const std::function<bool(uint64_t, std::string_view)>&) { return false; }

void closeOwnerEvents() {
  bool ended;
  {
    std::lock_guard<std::mutex> lock(source.queueMutex);
    ended = source.ended;
  }
  // A real-time ProcessTrace returns once the session has stopped: then our
  // handle may name a session another monitor started since, under the same
  // name and logger number, which is not ours to stop.
  if (source.session != 0 && !ended) {
    SessionProperties s = sessionProperties();
    ControlTraceW(source.session, nullptr, &s.p, EVENT_TRACE_CONTROL_STOP);
  }
  if (source.trace != INVALID_PROCESSTRACE_HANDLE) CloseTrace(source.trace);
  if (source.consumer.joinable()) source.consumer.join();
  std::lock_guard<std::mutex> lock(source.queueMutex);
  source.session = 0;
  source.trace = INVALID_PROCESSTRACE_HANDLE;
  source.queue.clear();
  source.queue.shrink_to_fit();
  source.closesLost = source.ended = false;
  source.endError = 0;
}
