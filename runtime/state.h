// Process-wide run-state flags, counters and the discovered-interface record.
// Any thread may use them: flags and counters are atomics, and
// interfacesDiscovered is reached only through the accessors below.
#pragma once

#include <json/forwards.h>

#include <atomic>
#include <cstdint>
#include <mutex>

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

// What interface discovery has found: "if_<index>" -> {ips, mac}. Null until
// discovery records something. Defined in state_json.cc, so that code using
// only the flags and counters links without JsonCpp.
extern Json::Value interfacesDiscovered;  // guarded by interfacesMutex
extern std::mutex interfacesMutex;

// A copy of interfacesDiscovered, taken under its lock.
Json::Value interfacesSnapshot();
