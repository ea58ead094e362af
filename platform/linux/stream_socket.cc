#include "platform/stream_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

bool streamShutdown(intptr_t handle) { return shutdown(static_cast<int>(handle), SHUT_RDWR) == 0; }

bool streamNoDelay(intptr_t handle) {
  const int on = 1;
  return setsockopt(static_cast<int>(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
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
