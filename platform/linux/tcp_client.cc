#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <arpa/inet.h>
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

void tcpShutdownSend(TcpClient& c) {
  if (c.handle >= 0) shutdown(static_cast<int>(c.handle), SHUT_WR);
}

bool tcpPeerGone(TcpClient& c) {
  if (c.handle < 0) return true;
  pollfd p{static_cast<int>(c.handle), POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLERR | POLLHUP)) != 0) return true;
  char byte;
  const ssize_t n = recv(static_cast<int>(c.handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
}

bool tcpListen(TcpListener& l, uint32_t address, uint16_t port, std::string& error) {
  tcpCloseListener(l);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = systemErrorText(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
    error = systemErrorText(errno);
    close(fd);
    return false;
  }
  l.handle = fd;
  return true;
}

bool tcpListenerPort(const TcpListener& l, uint16_t& port, std::string& error) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (getsockname(static_cast<int>(l.handle), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    error = systemErrorText(errno);
    return false;
  }
  port = ntohs(a.sin_port);
  return true;
}

bool tcpAccept(TcpListener& l, TcpClient& c, uint32_t& fromAddress, uint16_t& fromPort, std::string& error) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  const int fd = accept4(static_cast<int>(l.handle), reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) error = systemErrorText(errno);
    return false;
  }
  c.handle = fd;
  fromAddress = a.sin_family == AF_INET ? ntohl(a.sin_addr.s_addr) : 0;
  fromPort = ntohs(a.sin_port);
  return true;
}

void tcpCloseListener(TcpListener& l) {
  if (l.handle >= 0) close(static_cast<int>(l.handle));
  l.handle = -1;
}

bool tcpWaitReadable(const TcpListener& l, const std::vector<TcpClient>& peers, int timeoutMs, bool& listenerReady,
                     std::vector<uint8_t>& peerReady, std::string& error) {
  std::vector<pollfd> fds;
  fds.reserve(peers.size() + 1);
  fds.push_back({static_cast<int>(l.handle), POLLIN, 0});
  for (const TcpClient& p : peers) fds.push_back({static_cast<int>(p.handle), POLLIN, 0});
  const int n = poll(fds.data(), fds.size(), timeoutMs);
  if (n < 0 && errno != EINTR) {
    error = systemErrorText(errno);
    return false;
  }
  listenerReady = n > 0 && fds[0].revents != 0;
  peerReady.assign(peers.size(), 0);
  for (size_t i = 0; n > 0 && i < peers.size(); ++i) peerReady[i] = fds[i + 1].revents != 0;
  return true;
}
