// Process-wide run-state flags, counters and the discovered-interface record.
// Any thread may use them: flags and counters are atomics, and
// interfacesDiscovered is reached only through the accessors below.
#pragma once

#include <json/forwards.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The capture routine may go on; set by the capture supervisor and by
// settings requests, polled by the capture routine.
extern std::atomic<bool> keepSniffing;
// The export loop may go on; set by the export supervisor and by settings
// requests, polled by the export loop every pass.
extern std::atomic<bool> keepSendingExports;
// True while a capture run / export run is active.
extern std::atomic<bool> snifferRunning;
extern std::atomic<bool> exporterRunning;
// Datagrams read since the capture socket last entered receive-all mode.
extern std::atomic<int32_t> snifferPacketCount;
// Export datagrams handed to the socket since start.
extern std::atomic<int32_t> exportsSent;

// Counters since start, for the status document and the metrics; each has
// one writer, named here.
// Packets the system dropped before capture could read them (capture thread,
// from the capture socket's statistics).
extern std::atomic<uint64_t> snifferPacketsDropped;
// Packets that could not be decoded: too short for their headers, or an
// IPv6 extension-header chain past the frame or too long (capture thread).
extern std::atomic<uint64_t> snifferPacketsMalformed;
// The DNS name table's (capture thread; emptied with the table when a capture
// starts with peerNames false): names it holds now, answers that matched a
// query this host sent, answers that matched none, DNS messages skipped as
// malformed, and names pushed out by the table's bounds.
extern std::atomic<uint64_t> nameTableNames;
extern std::atomic<uint64_t> nameTableAnswers;
extern std::atomic<uint64_t> nameTableUnsolicited;
extern std::atomic<uint64_t> nameTableMalformed;
extern std::atomic<uint64_t> nameTableEvicted;
// Flow records handed to the socket in export datagrams (export thread).
extern std::atomic<uint64_t> exportRecordsSent;
// Finished flows dropped without export: no collector configured, or left
// after an export run ended (export supervisor).
extern std::atomic<uint64_t> exportsDropped;
// IPv6 flows left out of native-format export, which carries IPv4 only
// (export thread).
extern std::atomic<uint64_t> exportsSkippedIPv6;

// What capture is doing, for the status document. Starting: a run is being
// set up (after a stop, or at first); failing: the last run failed (its
// set-up, or its socket) and the supervisor retries; stopped: the last run
// ended on request.
enum class CaptureState : uint8_t { kOff, kStarting, kCapturing, kFailing, kStopped };
// "off", "starting", "capturing", "failing", "stopped".
const char* captureStateName(CaptureState state);

// The capture state with the error that made it failing ("" otherwise).
struct CaptureStatus {
  CaptureState state = CaptureState::kStarting;
  std::string error;
};
extern CaptureStatus captureStatus;  // guarded by captureStatusMutex
extern std::mutex captureStatusMutex;
// Sets both under the lock; a copy of both.
void setCaptureStatus(CaptureState state, const std::string& error = std::string());
CaptureStatus captureStatusSnapshot();

// What interface discovery has found: "if_<index>" -> {ips, ips6, mac}. Null until
// discovery records something. Defined in state_json.cc, so that code using
// only the flags and counters links without JsonCpp.
extern Json::Value interfacesDiscovered;  // guarded by interfacesMutex
extern std::mutex interfacesMutex;

// A copy of interfacesDiscovered, taken under its lock.
Json::Value interfacesSnapshot();
