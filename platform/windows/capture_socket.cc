// Windows capture socket: a raw IPv4 socket with IP_HDRINCL, bound to the
// listener address and switched to receive-all with SIO_RCVALL, so every
// IPv4 packet the interface sends or receives is read from its IPv4 header
// on. For IPv6 a second raw socket (AF_INET6) is bound to one of the
// interface's IPv6 addresses and switched to receive-all the same way; its
// packets start at the IPv6 header. Alone, the IPv4 socket's receive waits at
// most kCaptureWaitMillis (SO_RCVTIMEO); with both, select waits on the two
// and they take turns when both have a packet.
#include "platform/capture_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

SOCKET socketOf(const CaptureSocket& s) { return static_cast<SOCKET>(s.handle); }
SOCKET socket6Of(const CaptureSocket& s) { return static_cast<SOCKET>(s.handle6); }

bool receiveAll(SOCKET sock, int& error) {
  DWORD in = RCVALL_ON;
  DWORD out = 0;
  DWORD returned = 0;
  if (WSAIoctl(sock, SIO_RCVALL, &in, sizeof in, &out, sizeof out, &returned, nullptr, nullptr) != 0) {
    error = WSAGetLastError();
    return false;
  }
  return true;
}

// One recv from `sock`; kTimeout when its wait (SO_RCVTIMEO) ran out.
Received receiveFrom(SOCKET sock, uint8_t* buffer, size_t size) {
  Received r;
  const int n = recv(sock, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    if (code == WSAEMSGSIZE) {  // longer than the buffer: its first `size` bytes are there
      r.status = ReceiveStatus::kPacket;
      r.length = size;
      r.wireLength = SIZE_MAX;
    } else if (code == WSAETIMEDOUT || code == WSAEINTR) {
      r.status = ReceiveStatus::kTimeout;
    } else {
      r.status = ReceiveStatus::kFailed;
      r.error = code;
    }
    return r;
  }
  r.status = ReceiveStatus::kPacket;
  r.length = static_cast<size_t>(n);
  r.wireLength = r.length;
  return r;
}

}  // namespace

void captureStartup() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

void captureCleanup() { WSACleanup(); }

bool captureOpen(CaptureSocket& s, int& error) {
  const SOCKET sock = socket(AF_INET, SOCK_RAW, IPPROTO_IP);
  if (sock == INVALID_SOCKET) {
    error = WSAGetLastError();
    return false;
  }
  s = CaptureSocket{};
  s.handle = static_cast<intptr_t>(sock);
  return true;
}

bool captureSetOptions(CaptureSocket& s, uint32_t, int& error) {
  int on = 1;
  if (setsockopt(socketOf(s), IPPROTO_IP, IP_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on) < 0) {
    error = WSAGetLastError();
    return false;
  }
  DWORD wait = kCaptureWaitMillis;
  if (setsockopt(socketOf(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait) < 0) {
    error = WSAGetLastError();
    return false;
  }
  return true;
}

bool captureBind(CaptureSocket& s, const std::string& listenerIP, int& error) {
  sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = 0;
  where.sin_addr.s_addr = inet_addr(listenerIP.c_str());
  if (bind(socketOf(s), reinterpret_cast<const sockaddr*>(&where), sizeof where) < 0) {
    error = WSAGetLastError();
    return false;
  }
  return true;
}

bool captureReceiveAll(CaptureSocket& s, int& error) { return receiveAll(socketOf(s), error); }

bool captureIpv6(CaptureSocket& s, const AdapterUnicast6* bindTo, int& error) {
  if (bindTo == nullptr) {
    error = WSAEADDRNOTAVAIL;
    return false;
  }
  const SOCKET sock = socket(AF_INET6, SOCK_RAW, IPPROTO_IP);
  if (sock == INVALID_SOCKET) {
    error = WSAGetLastError();
    return false;
  }
  sockaddr_in6 where = {};
  where.sin6_family = AF_INET6;
  where.sin6_port = 0;
  memcpy(&where.sin6_addr, bindTo->address.bytes, sizeof bindTo->address.bytes);
  where.sin6_scope_id = bindTo->scopeId;
  // Receive-all hands over whole datagrams from the IPv6 header on; the
  // header option, as on the IPv4 socket, is asked for where the system has
  // it and is not needed for that.
  int on = 1;
  setsockopt(sock, IPPROTO_IPV6, IPV6_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on);
  bool ok = bind(sock, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
  if (!ok) error = WSAGetLastError();
  ok = ok && receiveAll(sock, error);
  if (!ok) {
    closesocket(sock);
    return false;
  }
  s.handle6 = static_cast<intptr_t>(sock);
  s.turn6 = false;
  return true;
}

Received captureReceive(CaptureSocket& s, uint8_t* buffer, size_t size) {
  if (s.handle6 == -1) return receiveFrom(socketOf(s), buffer, size);
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socketOf(s), &ready);
  FD_SET(socket6Of(s), &ready);
  timeval wait = {0, kCaptureWaitMillis * 1000};
  const int n = select(0, &ready, nullptr, nullptr, &wait);
  Received r;
  if (n == SOCKET_ERROR) {
    r.error = WSAGetLastError();
    r.status = r.error == WSAEINTR ? ReceiveStatus::kTimeout : ReceiveStatus::kFailed;
    return r;
  }
  if (n == 0) return r;  // kTimeout
  const bool four = FD_ISSET(socketOf(s), &ready) != 0;
  const bool six = FD_ISSET(socket6Of(s), &ready) != 0;
  const bool takeSix = six && (!four || s.turn6);
  s.turn6 = !takeSix;
  return receiveFrom(takeSix ? socket6Of(s) : socketOf(s), buffer, size);
}

Received captureReceiveBlock(CaptureSocket& s, ReceivedFrame* frames, size_t max, size_t& count, uint8_t* buffer,
                             size_t size) {
  count = 0;
  const Received r = captureReceive(s, buffer, size);
  if (r.status == ReceiveStatus::kPacket && max != 0) {
    frames[0] = ReceivedFrame{buffer, r.length, r.wireLength, r.arrivedMillis};
    count = 1;
  }
  return r;
}

// A raw socket keeps no count of what it could not take.
bool captureDrops(CaptureSocket&, uint64_t&) { return false; }

bool captureClose(CaptureSocket& s, int& error) {
  const SOCKET sock = socketOf(s);
  const SOCKET sock6 = socket6Of(s);
  s.handle = -1;
  s.handle6 = -1;
  bool ok = true;
  if (closesocket(sock) != 0) {
    error = WSAGetLastError();
    ok = false;
  }
  if (sock6 != INVALID_SOCKET && closesocket(sock6) != 0 && ok) {
    error = WSAGetLastError();
    ok = false;
  }
  return ok;
}
