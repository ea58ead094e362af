#include "platform/stream_socket.h"

#include <winsock2.h>

bool streamShutdown(intptr_t handle) { return shutdown(static_cast<SOCKET>(handle), SD_BOTH) == 0; }
