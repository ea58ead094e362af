#include "platform/stream_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

bool streamShutdown(intptr_t handle) { return shutdown(static_cast<SOCKET>(handle), SD_BOTH) == 0; }

bool streamNoDelay(intptr_t handle) {
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0;
}

SocketAddress socketAddress(bool ipv6, const uint8_t* address, uint16_t port) {
  SocketAddress out;
  if (ipv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    memcpy(&a.sin6_addr, address, 16);
    memcpy(out.bytes, &a, sizeof a);
    out.length = sizeof a;
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    memcpy(&a.sin_addr, address, 4);
    memcpy(out.bytes, &a, sizeof a);
    out.length = sizeof a;
  }
  return out;
}
