// Windows UDP sockets: Winsock 2, started once on first use; errors are
// WSAGetLastError() codes turned into the system's message text.
#include "platform/udp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform/error_text.h"

namespace {

// Winsock 2.2 for the whole process, started once; its result, 0 when ready.
int startWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  return result;
}

SOCKET socketOf(const UdpSocket& sock) { return static_cast<SOCKET>(sock.handle); }

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

}  // namespace

bool udpOpen(UdpSocket& sock, std::string& error) {
  if (int started = startWinsock(); started != 0) {
    error = systemErrorText(started);
    return false;
  }
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  sock.handle = static_cast<intptr_t>(s);
  return true;
}

bool udpBind(const UdpSocket& sock, uint32_t address, uint16_t port, std::string& error) {
  sockaddr_in sa = socketAddress(address, port);
  if (bind(socketOf(sock), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  return true;
}

size_t udpSetReceiveQueue(const UdpSocket& sock, size_t bytes) {
  const int asked = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
  setsockopt(socketOf(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked), sizeof asked);
  int granted = 0;
  int length = sizeof granted;
  if (getsockopt(socketOf(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) != 0 ||
      granted < 0) {
    return 0;
  }
  return static_cast<size_t>(granted);
}

bool udpLocalPort(const UdpSocket& sock, uint16_t& port, std::string& error) {
  sockaddr_in sa;
  int length = sizeof sa;
  if (getsockname(socketOf(sock), reinterpret_cast<sockaddr*>(&sa), &length) == SOCKET_ERROR) {
    error = systemErrorText(WSAGetLastError());
    return false;
  }
  port = ntohs(sa.sin_port);
  return true;
}

int64_t udpSendTo(const UdpSocket& sock, const uint8_t* data, size_t size, uint32_t address, uint16_t port) {
  sockaddr_in sa = socketAddress(address, port);
  int sent = sendto(socketOf(sock), reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                    reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  return sent == SOCKET_ERROR ? -1 : sent;
}

UdpWait udpReceive(const UdpSocket& sock, uint8_t* buffer, size_t capacity, int timeoutMs, UdpDatagram& got,
                   std::string& error) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socketOf(sock), &readable);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &wait);
  if (ready == SOCKET_ERROR) {
    error = systemErrorText(WSAGetLastError());
    return UdpWait::failed;
  }
  if (ready == 0) return UdpWait::timedOut;
  sockaddr_in from;
  int fromLength = sizeof from;
  int n = recvfrom(socketOf(sock), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                   reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n == SOCKET_ERROR) {
    int code = WSAGetLastError();
    if (code != WSAEMSGSIZE) {
      error = systemErrorText(code);
      return UdpWait::failed;
    }
    n = static_cast<int>(capacity);  // the first `capacity` bytes arrived
  }
  got.size = static_cast<size_t>(n);
  got.fromAddress = ntohl(from.sin_addr.s_addr);
  got.fromPort = ntohs(from.sin_port);
  return UdpWait::received;
}

void udpClose(UdpSocket& sock) {
  if (sock.handle != -1) closesocket(socketOf(sock));
  sock.handle = -1;
}

bool ipv4FromText(const std::string& text, uint32_t& address) {
  in_addr parsed;
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}
