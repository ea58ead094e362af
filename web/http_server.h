// The web interface's HTTP server. startHTTPDaemon is called once by main.
#pragma once

#include <cstdint>

struct MHD_Daemon;

// Starts the server on `port`; null when it cannot start (port taken).
MHD_Daemon* startHTTPDaemon(uint16_t port);
