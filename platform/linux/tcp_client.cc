#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error_text.h"

namespace {

// Waits for `events` on `fd`; false with the reason when the wait fails or
// runs out.
bool waitFor(int fd, short events, int timeoutMs, std::string& error) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = poll(&p, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) {
      error = "timed out";
      return false;
    }
    if (errno != EINTR) {
      error = systemErrorText(errno);
      return false;
    }
  }
}

// Connects `fd` to `address` within `timeoutMs`.
bool connectWithin(int fd, const addrinfo* address, int timeoutMs, std::string& error) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      error = systemErrorText(errno);
      return false;
    }
    if (!waitFor(fd, POLLOUT, timeoutMs, error)) return false;
    int soError = 0;
    socklen_t length = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
    if (soError != 0) {
      error = systemErrorText(soError);
      return false;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return true;
}

}  // namespace

bool tcpConnect(TcpClient& c, const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
  tcpClose(c);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  error = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = systemErrorText(errno);
      continue;
    }
    if (connectWithin(fd, a, timeoutMs, error)) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      c.handle = fd;
      break;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return c.handle >= 0;
}

bool tcpSendAll(TcpClient& c, const void* data, size_t size, int timeoutMs, std::string& error) {
  const auto* at = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (!waitFor(static_cast<int>(c.handle), POLLOUT, timeoutMs, error)) return false;
    const ssize_t n = send(static_cast<int>(c.handle), at, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      error = systemErrorText(errno);
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int64_t tcpReceive(TcpClient& c, void* buffer, size_t capacity, int timeoutMs, std::string& error) {
  for (;;) {
    if (!waitFor(static_cast<int>(c.handle), POLLIN, timeoutMs, error)) return -1;
    const ssize_t n = recv(static_cast<int>(c.handle), buffer, capacity, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR || errno == EAGAIN) continue;
    error = systemErrorText(errno);
    return -1;
  }
}

void tcpClose(TcpClient& c) {
  if (c.handle >= 0) close(static_cast<int>(c.handle));
  c.handle = -1;
}
