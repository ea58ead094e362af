// The export loop: one run drains toExport into datagrams for the collector at
// receiverIP:receiverPort until keepSendingExports falls. Export thread only.
#pragma once

// One run: socket set-up (a failure ends the process with status 1), then a
// pass every 100 ms. A full datagram is sent when the next record would not
// fit; a partly filled one when its first record has waited a second, and
// when the run ends.
void exportsender();
