// The web interface's HTTP server. startHTTPDaemon is called once by main.
#pragma once

#include <cstdint>
#include <string>

struct MHD_Daemon;

// Starts the server on `port`; null when it cannot start (port taken), with
// the library's reason in `whyNot`. The server takes at most 256 connections,
// 32 from one client address, and closes a connection whose request head has
// not arrived whole 10 s after it opened (or after its previous answer).
MHD_Daemon* startHTTPDaemon(uint16_t port, std::string& whyNot);
