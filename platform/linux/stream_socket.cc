#include "platform/stream_socket.h"

#include <sys/socket.h>

bool streamShutdown(intptr_t handle) { return shutdown(static_cast<int>(handle), SHUT_RDWR) == 0; }
