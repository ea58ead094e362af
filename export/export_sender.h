// The export loop: one run drains toExport into datagrams for the collector at
// receiverIP:receiverPort until keepSendingExports falls. Export thread only.
#pragma once

void exportsender();
