// The export loop: one run drains toExport into datagrams for the collector at
// receiverIP:receiverPort until keepSendingExports falls. Export thread only.
#pragma once

#include <json/forwards.h>

#include "export/export_format.h"

// The format the exportFormat setting `value` names: native when the member
// is absent (null). A value of another type, or a text naming neither format,
// prints one line and means native.
ExportFormat exportFormatSetting(const Json::Value& value);

// One run: the settings read (exportFormat among them), socket set-up (a
// failure ends the process with status 1), then a pass every 100 ms. A full
// datagram or IPFIX message is sent when the next record would not fit; a
// partly filled one when its first record has waited a second, and when the
// run ends.
void exportsender();
