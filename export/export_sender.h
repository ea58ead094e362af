// The export loop: one run drains toExport into datagrams for the collector at
// receiverIP:receiverPort until keepSendingExports falls. Export thread only.
#pragma once

#include <json/forwards.h>

#include "export/export_format.h"

// The format the exportFormat setting `value` names: native when the member
// is absent (null). A value of another type, or a text naming neither format,
// prints one line and means native.
ExportFormat exportFormatSetting(const Json::Value& value);

// True for exportTransport "tcp" with exportFormat "ipfix". Absent means
// "udp"; another value, or "tcp" with the native format, prints one line
// and means "udp".
bool streamTransportSetting(const Json::Value& value, ExportFormat format);

// One run: the settings read (exportFormat and exportTransport among them),
// socket set-up (a failure ends the process with status 1), then a pass
// every 100 ms. A full datagram or IPFIX message is sent when the next
// record would not fit; a partly filled one when its first record has
// waited a second, and when the run ends. Over TCP, finished flows wait in
// toExport while the connection is down; at the end of the run the rest is
// delivered within kStreamStopMillis if the collector can be reached.
void exportsender();

inline constexpr uint64_t kStreamStopMillis = 15000;
