// Windows capture socket: a raw IPv4 socket with IP_HDRINCL, bound to the
// listener address and switched to receive-all with SIO_RCVALL, so every
// IPv4 packet the interface sends or receives is read from its IPv4 header
// on. The receive waits at most kCaptureWaitMillis (SO_RCVTIMEO).
#include "platform/capture_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstdio>
#include <cwchar>

namespace {

SOCKET socketOf(const CaptureSocket& s) { return static_cast<SOCKET>(s.handle); }

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

bool captureReceiveAll(CaptureSocket& s, int& error) {
  DWORD in = RCVALL_ON;
  DWORD out = 0;
  DWORD returned = 0;
  if (WSAIoctl(socketOf(s), SIO_RCVALL, &in, sizeof in, &out, sizeof out, &returned, nullptr, nullptr) != 0) {
    error = WSAGetLastError();
    return false;
  }
  return true;
}

Received captureReceive(CaptureSocket& s, uint8_t* buffer, size_t size) {
  Received r;
  const int n = recv(socketOf(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
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
  s.handle = -1;
  if (closesocket(sock) != 0) {
    error = WSAGetLastError();
    return false;
  }
  return true;
}
