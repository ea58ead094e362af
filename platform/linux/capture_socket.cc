// Linux capture socket: an AF_PACKET socket of type SOCK_DGRAM (each frame
// arrives without its link header, i.e. starting at the IPv4 header) for
// ETH_P_ALL, so the host's own outgoing packets are seen as well. A classic
// BPF filter keeps only IPv4 frames; the socket is bound to the interface
// that holds the listener address and put in promiscuous mode. On loopback
// every packet passes twice (outgoing, then incoming); the outgoing copy is
// skipped so each counts once.
#include "platform/capture_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/console.h"

namespace {

int fdOf(const CaptureSocket& s) { return static_cast<int>(s.handle); }

// The interface holding `address` (network order): its index and whether it
// is a loopback interface. False when no interface has the address.
bool interfaceHolding(in_addr_t address, int& ifindex, bool& loopback) {
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return false;
  bool found = false;
  for (struct ifaddrs* a = all; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_name == nullptr) continue;
    if (reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr != address) continue;
    std::string name = a->ifa_name;
    const size_t colon = name.find(':');  // an address label such as "eth0:1"
    if (colon != std::string::npos) name.resize(colon);
    ifindex = static_cast<int>(if_nametoindex(name.c_str()));
    loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    found = ifindex != 0;
  }
  freeifaddrs(all);
  return found;
}

}  // namespace

void captureStartup() {}
void captureCleanup() {}

bool captureOpen(CaptureSocket& s, int& error) {
  const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd < 0) {
    error = errno;
    return false;
  }
  s = CaptureSocket{};
  s.handle = fd;
  return true;
}

bool captureSetOptions(CaptureSocket& s, int& error) {
  // In a SOCK_DGRAM packet socket the filter sees the network header, so the
  // frame's protocol comes from the ancillary field, in host order.
  static struct sock_filter onlyIpv4[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof onlyIpv4 / sizeof onlyIpv4[0]), onlyIpv4};
  if (setsockopt(fdOf(s), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
    error = errno;
    return false;
  }
  // A deep queue rides out the moments the capture thread is busy elsewhere
  // (an owner lookup, a sweep); the default holds well under a millisecond
  // of a busy link. Best effort: without the privilege to exceed the
  // system's limit the plain request gets what the limit allows.
  const int queueBytes = 8 << 20;
  if (setsockopt(fdOf(s), SOL_SOCKET, SO_RCVBUFFORCE, &queueBytes, sizeof queueBytes) != 0) {
    setsockopt(fdOf(s), SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
  }
  struct timeval wait = {0, kCaptureWaitMillis * 1000};
  if (setsockopt(fdOf(s), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool captureBind(CaptureSocket& s, const std::string& listenerIP, int& error) {
  struct in_addr address;
  if (inet_aton(listenerIP.c_str(), &address) == 0 ||
      !interfaceHolding(address.s_addr, s.ifindex, s.loopback)) {
    error = EADDRNOTAVAIL;
    return false;
  }
  struct sockaddr_ll where = {};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_ALL);
  where.sll_ifindex = s.ifindex;
  if (bind(fdOf(s), reinterpret_cast<const struct sockaddr*>(&where), sizeof where) != 0) {
    error = errno;
    return false;
  }
  return true;
}

bool captureReceiveAll(CaptureSocket& s, int& error) {
  struct packet_mreq membership = {};
  membership.mr_ifindex = s.ifindex;
  membership.mr_type = PACKET_MR_PROMISC;
  if (setsockopt(fdOf(s), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    error = errno;
    return false;
  }
  return true;
}

Received captureReceive(CaptureSocket& s, uint8_t* buffer, size_t size) {
  Received r;
  struct sockaddr_ll from = {};
  socklen_t fromLength = sizeof from;
  const ssize_t n = recvfrom(fdOf(s), buffer, size, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      r.status = ReceiveStatus::kTimeout;
    } else {
      r.status = ReceiveStatus::kFailed;
      r.error = errno;
    }
    return r;
  }
  // Frames queued between socket creation and bind may come from any
  // interface; loopback shows each packet once outgoing and once incoming.
  if (from.sll_ifindex != s.ifindex || (s.loopback && from.sll_pkttype == PACKET_OUTGOING)) {
    r.status = ReceiveStatus::kSkipped;
    return r;
  }
  r.status = ReceiveStatus::kPacket;
  r.length = static_cast<size_t>(n);
  return r;
}

bool captureClose(CaptureSocket& s, int& error) {
  const int fd = fdOf(s);
  s.handle = -1;
  if (close(fd) != 0) {
    error = errno;
    return false;
  }
  return true;
}

void printCloseFailure(int error) { consolePrintf("closesocket for listener failed with error: %d\n", error); }
