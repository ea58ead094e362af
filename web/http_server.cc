#include "web/http_server.h"

// Placeholder until the web interface lands: no server.
MHD_Daemon* startHTTPDaemon(uint16_t) { return nullptr; }
