// What the two HTTP servers (the web interface and the metrics endpoint)
// share: the limits that keep slow or many clients from locking others out,
// and the library's messages. Used by the servers' start and handlers, on
// any thread.
#pragma once

#include <microhttpd.h>

#include <string>
#include <vector>

// The library options for the limits: at most 256 connections in all and 32
// from one client address, 30 s idle, and the request head's deadline of
// 10 s from the connection's start (or from the previous answer on it),
// which a watchdog thread enforces; also the library's messages to standard
// error, the last one kept. Ends with MHD_OPTION_END; pass it with
// MHD_OPTION_ARRAY. Starts the watchdog on first use. `requestDone`, when
// given, is called at the end of every request as the library's completion
// callback would be (the one option slot is taken by the head clock).
std::vector<MHD_OptionItem> sharedDaemonOptions(MHD_RequestCompletedCallback requestDone = nullptr);

// A request head has arrived whole: its deadline no longer runs. Call first
// thing in the access handler.
void requestHeadArrived(MHD_Connection* connection);

// Forgets the last library message; the message since then, or `fallback`.
void clearLibraryMessage();
std::string lastLibraryMessage(const std::string& fallback);

// The start flags both servers use: a thread per connection, an internal
// polling thread, poll() where the library has it, messages on.
unsigned daemonFlags();
