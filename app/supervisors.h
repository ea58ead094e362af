// The two worker threads' supervisor loops. Each runs for ever on its own
// thread, restarting its routine 500 ms after every return.
#pragma once

// Capture supervisor: while listenerIP is not "0.0.0.0", discovery then one
// capture run; otherwise idle. Never returns.
void snifferThread();

// Export supervisor: while receiverIP is not "0.0.0.0", one export run; after
// every run and idle pass toExport is emptied. Never returns.
void exporterThread();

// One pass of each loop body, without the pause; for tests.
void snifferPass();
void exporterPass();
