// Linux UDP sockets: BSD sockets; errors are errno turned into text.
#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/error_text.h"

namespace {

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
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    error = systemErrorText(errno);
    return false;
  }
  sock.handle = fd;
  return true;
}

bool udpBind(const UdpSocket& sock, uint32_t address, uint16_t port, std::string& error) {
  sockaddr_in sa = socketAddress(address, port);
  if (bind(static_cast<int>(sock.handle), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    error = systemErrorText(errno);
    return false;
  }
  return true;
}

size_t udpSetReceiveQueue(const UdpSocket& sock, size_t bytes) {
  const int fd = static_cast<int>(sock.handle);
  const int asked = bytes > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(bytes);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0 || granted < 0) return 0;
  return static_cast<size_t>(granted);
}

bool udpLocalPort(const UdpSocket& sock, uint16_t& port, std::string& error) {
  sockaddr_in sa;
  socklen_t length = sizeof sa;
  if (getsockname(static_cast<int>(sock.handle), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    error = systemErrorText(errno);
    return false;
  }
  port = ntohs(sa.sin_port);
  return true;
}

int64_t udpSendTo(const UdpSocket& sock, const uint8_t* data, size_t size, uint32_t address, uint16_t port) {
  sockaddr_in sa = socketAddress(address, port);
  ssize_t sent;
  do {
    sent = sendto(static_cast<int>(sock.handle), data, size, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

UdpWait udpReceive(const UdpSocket& sock, uint8_t* buffer, size_t capacity, int timeoutMs, UdpDatagram& got,
                   std::string& error) {
  const int fd = static_cast<int>(sock.handle);
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    error = systemErrorText(errno);
    return UdpWait::failed;
  }
  if (ready == 0) return UdpWait::timedOut;
  sockaddr_in from;
  socklen_t fromLength = sizeof from;
  ssize_t n = recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) {
    error = systemErrorText(errno);
    return UdpWait::failed;
  }
  got.size = static_cast<size_t>(n);
  got.fromAddress = ntohl(from.sin_addr.s_addr);
  got.fromPort = ntohs(from.sin_port);
  return UdpWait::received;
}

void udpClose(UdpSocket& sock) {
  if (sock.handle >= 0) close(static_cast<int>(sock.handle));
  sock.handle = -1;
}

bool ipv4FromText(const std::string& text, uint32_t& address) {
  in_addr parsed;
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}
