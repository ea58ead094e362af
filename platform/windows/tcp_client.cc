// Windows TCP client: Winsock 2, started once on first use; errors are
// WSAGetLastError() codes turned into the system's message text.
#include "platform/tcp_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>

#include "platform/error_text.h"

namespace {

int startWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  return result;
}

SOCKET socketOf(const TcpClient& c) { return static_cast<SOCKET>(c.handle); }

bool waitFor(SOCKET s, short events, int timeoutMs, std::string& error) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = events;
  const int n = WSAPoll(&p, 1, timeoutMs);
  if (n > 0) return true;
  error = n == 0 ? "timed out" : systemErrorText(WSAGetLastError());
  return false;
}

bool connectWithin(SOCKET s, const addrinfo* address, int timeoutMs, std::string& error) {
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      error = systemErrorText(WSAGetLastError());
      return false;
    }
    if (!waitFor(s, POLLWRNORM, timeoutMs, error)) return false;
    int soError = 0;
    int length = sizeof soError;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
    if (soError != 0) {
      error = systemErrorText(soError);
      return false;
    }
  }
  return true;
}

}  // namespace

bool tcpConnect(TcpClient& c, const std::string& host, uint16_t port, int timeoutMs, std::string& error) {
  tcpClose(c);
  if (const int rc = startWinsock(); rc != 0) {
    error = systemErrorText(rc);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    error = "cannot resolve " + host + ": " + systemErrorText(WSAGetLastError());
    return false;
  }
  error = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = systemErrorText(WSAGetLastError());
      continue;
    }
    if (connectWithin(s, a, timeoutMs, error)) {
      const BOOL one = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      c.handle = static_cast<intptr_t>(s);
      break;
    }
    closesocket(s);
  }
  freeaddrinfo(found);
  return c.handle != -1;
}

// The socket stays non-blocking after the connect: every send and receive
// waits for readiness first, with its own timeout.
bool tcpSendAll(TcpClient& c, const void* data, size_t size, int timeoutMs, std::string& error) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    if (!waitFor(socketOf(c), POLLWRNORM, timeoutMs, error)) return false;
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    const int n = send(socketOf(c), at, chunk, 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
      error = systemErrorText(WSAGetLastError());
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int64_t tcpReceive(TcpClient& c, void* buffer, size_t capacity, int timeoutMs, std::string& error) {
  for (;;) {
    if (!waitFor(socketOf(c), POLLRDNORM, timeoutMs, error)) return -1;
    const int chunk = capacity > (1u << 30) ? (1 << 30) : static_cast<int>(capacity);
    const int n = recv(socketOf(c), static_cast<char*>(buffer), chunk, 0);
    if (n != SOCKET_ERROR) return n;
    if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
    error = systemErrorText(WSAGetLastError());
    return -1;
  }
}

void tcpClose(TcpClient& c) {
  if (c.handle != -1) closesocket(socketOf(c));
  c.handle = -1;
}

void tcpShutdownSend(TcpClient& c) {
  if (c.handle != -1) shutdown(socketOf(c), SD_SEND);
}

bool tcpPeerGone(TcpClient& c) {
  if (c.handle == -1) return true;
  WSAPOLLFD p{};
  p.fd = socketOf(c);
  p.events = POLLRDNORM;
  if (WSAPoll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLERR | POLLHUP)) != 0) return true;
  char byte;
  const int n = recv(socketOf(c), &byte, 1, MSG_PEEK);
  return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

bool tcpListen(TcpListener& l, uint32_t address, uint16_t port, std::string& error) {
  tcpCloseListener(l);
  if (const int rc = startWinsock(); rc != 0) {
    error = systemErrorText(rc);
    return false;
  }
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  u_long nonBlocking = 1;
  if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(s, 64) != 0 ||
      ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error = systemErrorText(WSAGetLastError());
    closesocket(s);
    return false;
  }
  l.handle = static_cast<intptr_t>(s);
  return true;
}

bool tcpListenerPort(const TcpListener& l, uint16_t& port, std::string& error) {
  sockaddr_in a{};
  int length = sizeof a;
  if (getsockname(static_cast<SOCKET>(l.handle), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  port = ntohs(a.sin_port);
  return true;
}

bool tcpAccept(TcpListener& l, TcpClient& c, uint32_t& fromAddress, uint16_t& fromPort, std::string& error) {
  sockaddr_in a{};
  int length = sizeof a;
  const SOCKET s = accept(static_cast<SOCKET>(l.handle), reinterpret_cast<sockaddr*>(&a), &length);
  if (s == INVALID_SOCKET) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) error = systemErrorText(WSAGetLastError());
    return false;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  c.handle = static_cast<intptr_t>(s);
  fromAddress = a.sin_family == AF_INET ? ntohl(a.sin_addr.s_addr) : 0;
  fromPort = ntohs(a.sin_port);
  return true;
}

void tcpCloseListener(TcpListener& l) {
  if (l.handle != -1) closesocket(static_cast<SOCKET>(l.handle));
  l.handle = -1;
}

bool tcpWaitReadable(const TcpListener& l, const std::vector<TcpClient>& peers, int timeoutMs, bool& listenerReady,
                     std::vector<uint8_t>& peerReady, std::string& error) {
  std::vector<WSAPOLLFD> fds(peers.size() + 1);
  fds[0].fd = static_cast<SOCKET>(l.handle);
  fds[0].events = POLLRDNORM;
  for (size_t i = 0; i < peers.size(); ++i) {
    fds[i + 1].fd = socketOf(peers[i]);
    fds[i + 1].events = POLLRDNORM;
  }
  const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (n == SOCKET_ERROR) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  listenerReady = n > 0 && fds[0].revents != 0;
  peerReady.assign(peers.size(), 0);
  for (size_t i = 0; n > 0 && i < peers.size(); ++i) peerReady[i] = fds[i + 1].revents != 0;
  return true;
}
