// The export loop: one run drains toExport into datagrams for the collector at
// receiverIP:receiverPort until keepSendingExports falls. Export thread only.
#pragma once

#include <json/forwards.h>

#include <cstddef>
#include <cstdint>

#include "export/export_format.h"

// The format the exportFormat setting `value` names: native when the member
// is absent (null). A value of another type, or a text naming neither format,
// prints one line and means native.
ExportFormat exportFormatSetting(const Json::Value& value);

// True for exportTransport "tcp" with exportFormat "ipfix". Absent means
// "udp"; another value, or "tcp" with the native format, prints one line
// and means "udp".
bool streamTransportSetting(const Json::Value& value, ExportFormat format);

// The export pace: datagrams a second on average, and at most this many
// back to back. 20,000 datagrams of up to 1400 bytes are about 28 MB/s
// (224 Mb/s); with 17 to 29 records a datagram (attributed or not) that
// carries 340,000 to 580,000 records a second. A collector reading with the
// system's default receive buffer (212,992 bytes, some 80 such datagrams)
// then has 4 ms of slack at any moment instead of none.
inline constexpr uint32_t kExportDatagramsPerSecond = 20000;
inline constexpr uint32_t kExportBurstDatagrams = 8;

// How long an orderly stop waits for the export run to send `records`
// finished flows at the pace above: a second, plus a second for every
// 150,000 records (a datagram of 7.5 records on average, the longest
// owner strings).
inline uint32_t exportDrainMillis(size_t records) {
  return 1000 + static_cast<uint32_t>(records / 150);
}

// One run: the settings read (exportFormat and exportTransport among them),
// socket set-up (a failure ends the process with status 1), then a pass
// every 100 ms. A full datagram or IPFIX message is sent when the next
// record would not fit; a partly filled one when its first record has
// waited a second, and when the run ends. Sends are paced
// (kExportDatagramsPerSecond). Over TCP, finished flows wait in toExport
// while the connection is down; at the end of the run the rest is
// delivered within kStreamStopMillis if the collector can be reached.
void exportsender();

inline constexpr uint64_t kStreamStopMillis = 15000;

// How long an orderly stop waits for the export run: exportDrainMillis, and
// over TCP kStreamStopMillis more for a collector that is away.
uint32_t exportStopMillis(size_t records);
