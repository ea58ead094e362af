// Linux capture socket: an AF_PACKET socket of type SOCK_DGRAM (each frame
// arrives without its link header, i.e. starting at the IP header) for
// ETH_P_ALL, so the host's own outgoing packets are seen as well. A classic
// BPF filter keeps only IPv4 frames, or IPv4 and IPv6 ones once captureIpv6
// has replaced it, cut to their headers but for the few that carry names
// (captureFilter; while flows are named, the kernel program of
// capture_filter.bpf.c, which does the same and also tells DNS over TCP
// from other port-53 traffic): nothing else crosses into user space. The
// socket is bound
// to the interface that holds the listener address and put in promiscuous
// mode. On loopback
// every packet passes twice (outgoing, then incoming); the outgoing copy is
// skipped so each counts once. Packets are read from a ring the kernel fills
// (TPACKET_V3): it hands over a block of packets per wake-up instead of one
// system call per packet, and stamps each packet when it arrives.
#include "platform/capture_socket.h"

#include "platform/linux/capture_filter.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>


namespace {

int fdOf(const CaptureSocket& s) { return static_cast<int>(s.handle); }

// The ring: 8 blocks of 1 MiB. A block goes to the reader when it is full or
// when the caller's hand-over time has passed since its first packet, so a
// quiet link still delivers.
constexpr uint32_t kRingBlockBytes = 1u << 20;
constexpr uint32_t kRingBlocks = 8;
constexpr uint32_t kRingFrameBytes = 2048;

// Decoding reads headers only (IPv4's at most 60 bytes, then TCP up to its
// flags) and counts the length on the wire, which the ring keeps apart; so
// the kernel cuts each IPv4 packet to this many bytes. The ring then packs
// many more packets per block, and reading it walks a few cache lines per
// packet instead of skipping over payloads.
constexpr uint32_t kHeaderSnapBytes = 128;
constexpr uint32_t kWholeSnapBytes = 0xFFFFFFFFu;

tpacket_block_desc* blockAt(const CaptureSocket& s, uint32_t index) {
  return reinterpret_cast<tpacket_block_desc*>(s.ring + static_cast<size_t>(index) * s.blockBytes);
}

bool setUpRing(CaptureSocket& s, uint32_t handOverMillis, int& error) {
  const int version = TPACKET_V3;
  if (setsockopt(fdOf(s), SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
    error = errno;
    return false;
  }
  struct tpacket_req3 req = {};
  req.tp_block_size = kRingBlockBytes;
  req.tp_block_nr = kRingBlocks;
  req.tp_frame_size = kRingFrameBytes;
  req.tp_frame_nr = kRingBlockBytes / kRingFrameBytes * kRingBlocks;
  req.tp_retire_blk_tov = handOverMillis;
  if (setsockopt(fdOf(s), SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
    error = errno;
    return false;
  }
  const size_t bytes = static_cast<size_t>(kRingBlockBytes) * kRingBlocks;
  void* ring = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fdOf(s), 0);
  if (ring == MAP_FAILED) {
    error = errno;
    return false;
  }
  s.ring = static_cast<uint8_t*>(ring);
  s.ringBytes = bytes;
  s.blockBytes = kRingBlockBytes;
  s.blockCount = kRingBlocks;
  s.block = 0;
  s.framesLeft = 0;
  s.nextFrame = nullptr;
  return true;
}

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

// The error behind an error event of poll: the socket's pending error
// (reading it clears it); EIO when an event came without one. 0 when
// `revents` holds no error event.
int pollError(const CaptureSocket& s, short revents) {
  if ((revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return 0;
  if (revents & POLLNVAL) return EBADF;
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(fdOf(s), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return errno;
  return pending != 0 ? pending : EIO;
}

}  // namespace

void captureStartup() {}
void captureCleanup() {}

namespace {

// A classic BPF program put together with forward labels.
class FilterCode {
 public:
  enum Label { kNext = -1, kCut, kWhole, kDrop, kTcp, kTcpDns, kTcpTls, kUdp, kUdpDns, kUdpQuic,
               kIpv4, kIpv6, kLabels };
  void op(uint16_t code, uint32_t k) { code_.push_back(BPF_STMT(code, k)); }
  void jump(uint16_t code, uint32_t k, int yes, int no) {
    jumps_.push_back({code_.size(), yes, no});
    code_.push_back(BPF_JUMP(code, k, 0, 0));
  }
  void label(int id) { at_[id] = code_.size(); }
  // The program with every jump resolved.
  std::vector<sock_filter> done() {
    for (const Jump& j : jumps_) {
      if (j.yes != kNext) code_[j.at].jt = static_cast<uint8_t>(at_[j.yes] - j.at - 1);
      if (j.no != kNext) code_[j.at].jf = static_cast<uint8_t>(at_[j.no] - j.at - 1);
    }
    return code_;
  }

 private:
  struct Jump {
    size_t at;
    int yes, no;
  };
  std::vector<sock_filter> code_;
  std::vector<Jump> jumps_;
  size_t at_[kLabels] = {};
};

// Jumps to `no` unless the packet holds at least X + `bytes` bytes; X is
// kept in M[1]. A load past the end would end the program with 0, dropping
// the packet, so every load of transport bytes is guarded by this.
void needBytes(FilterCode& c, uint32_t bytes, int no) {
  c.op(BPF_STX, 1);
  c.op(BPF_MISC | BPF_TXA, 0);
  c.op(BPF_ALU | BPF_ADD | BPF_K, bytes);
  c.op(BPF_MISC | BPF_TAX, 0);
  c.op(BPF_LD | BPF_W | BPF_LEN, 0);
  c.jump(BPF_JMP | BPF_JGE | BPF_X, 0, FilterCode::kNext, no);
  c.op(BPF_LDX | BPF_MEM, 1);
}

// X = the TCP payload's offset, from X the TCP header's.
void tcpPayloadOffset(FilterCode& c) {
  c.op(BPF_LD | BPF_B | BPF_IND, 12);  // data offset in words, high nibble
  c.op(BPF_ALU | BPF_RSH | BPF_K, 2);
  c.op(BPF_ALU | BPF_AND | BPF_K, 0x3c);
  c.op(BPF_ALU | BPF_ADD | BPF_X, 0);
  c.op(BPF_MISC | BPF_TAX, 0);
}

// The filter of the capture socket. In a SOCK_DGRAM packet socket it sees
// the network header, so the frame's protocol comes from the ancillary
// field, in host order. IPv4 packets, and with `ipv6` IPv6 ones, are cut to
// their headers; an IPv6 packet with extension headers comes whole, for its
// chain may be longer than any cut. With `wholeNamePackets` these come
// whole as well: TCP to or from port 53 with payload (DNS over TCP), UDP to
// or from port 53 holding a DNS message with a question, TCP whose payload
// begins with a TLS handshake record holding a ClientHello, and UDP whose
// payload's first byte has its two top bits set (a QUIC long header).
std::vector<sock_filter> captureFilter(bool ipv6, bool wholeNamePackets) {
  using L = FilterCode;
  FilterCode c;
  c.op(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL));
  c.jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, L::kIpv4, L::kNext);
  if (ipv6) {
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, L::kIpv6, L::kDrop);
  } else {
    c.op(BPF_RET | BPF_K, 0);
  }
  c.label(L::kIpv4);
  if (wholeNamePackets) {
    c.op(BPF_LD | BPF_H | BPF_ABS, 6);  // a later fragment has no transport header
    c.jump(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, L::kCut, L::kNext);
    c.op(BPF_LDX | BPF_B | BPF_MSH, 0);  // X = IPv4 header length
    c.op(BPF_LD | BPF_B | BPF_ABS, 9);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, L::kTcp, L::kNext);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, L::kUdp, L::kCut);
  } else {
    c.op(BPF_RET | BPF_K, kHeaderSnapBytes);
  }
  if (ipv6) {
    c.label(L::kIpv6);
    c.op(BPF_LD | BPF_B | BPF_ABS, 6);  // next header
    c.op(BPF_LDX | BPF_IMM, 40);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, wholeNamePackets ? L::kTcp : L::kCut, L::kNext);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, wholeNamePackets ? L::kUdp : L::kCut, L::kNext);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMPV6, L::kCut, L::kWhole);
  }
  if (wholeNamePackets) {
    // X: the transport header's offset.
    c.label(L::kTcp);
    needBytes(c, 14, L::kCut);
    c.op(BPF_LD | BPF_H | BPF_IND, 0);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 53, L::kTcpDns, L::kNext);
    c.op(BPF_LD | BPF_H | BPF_IND, 2);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 53, L::kTcpDns, L::kTcpTls);
    // DNS over TCP: any segment with payload, for a message may span several.
    c.label(L::kTcpDns);
    tcpPayloadOffset(c);
    needBytes(c, 1, L::kCut);
    c.op(BPF_RET | BPF_K, kWholeSnapBytes);
    // A TLS handshake record holding a ClientHello (handshake type 1).
    c.label(L::kTcpTls);
    tcpPayloadOffset(c);
    needBytes(c, 6, L::kCut);
    c.op(BPF_LD | BPF_H | BPF_IND, 0);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 0x1603, L::kNext, L::kCut);
    c.op(BPF_LD | BPF_B | BPF_IND, 5);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 1, L::kWhole, L::kCut);

    c.label(L::kUdp);
    needBytes(c, 4, L::kCut);
    c.op(BPF_LD | BPF_H | BPF_IND, 0);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 53, L::kUdpDns, L::kNext);
    c.op(BPF_LD | BPF_H | BPF_IND, 2);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 53, L::kUdpDns, L::kUdpQuic);
    // A DNS message with a question (its count at byte 4 not 0): one
    // without names nothing.
    c.label(L::kUdpDns);
    needBytes(c, 8 + 6, L::kCut);
    c.op(BPF_LD | BPF_H | BPF_IND, 8 + 4);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 0, L::kCut, L::kWhole);
    c.label(L::kUdpQuic);
    needBytes(c, 9, L::kCut);
    c.op(BPF_LD | BPF_B | BPF_IND, 8);
    c.op(BPF_ALU | BPF_AND | BPF_K, 0xc0);
    c.jump(BPF_JMP | BPF_JEQ | BPF_K, 0xc0, L::kWhole, L::kCut);
  }
  c.label(L::kCut);
  c.op(BPF_RET | BPF_K, kHeaderSnapBytes);
  c.label(L::kWhole);
  c.op(BPF_RET | BPF_K, kWholeSnapBytes);
  c.label(L::kDrop);
  c.op(BPF_RET | BPF_K, 0);
  return c.done();
}

// While flows are named, the kernel program that tells DNS over TCP from
// other port-53 traffic, else (not loaded) the classic filter, which keeps
// every port-53 segment with payload whole.
bool attachFilter(CaptureSocket& s, bool ipv6, int& error) {
  if (s.wholeNamePackets) {
    int loadError = 0;
    const int program = loadCaptureFilter(ipv6, loadError);
    if (program >= 0) {
      const bool attached = setsockopt(fdOf(s), SOL_SOCKET, SO_ATTACH_BPF, &program, sizeof program) == 0;
      close(program);
      if (attached) return true;
    }
  }
  std::vector<sock_filter> code = captureFilter(ipv6, s.wholeNamePackets);
  struct sock_fprog program = {static_cast<unsigned short>(code.size()), code.data()};
  if (setsockopt(fdOf(s), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
    error = errno;
    return false;
  }
  return true;
}

}  // namespace

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

bool captureSetOptions(CaptureSocket& s, uint32_t handOverMillis, int& error) {
  if (!attachFilter(s, false, error)) return false;
  // Eight 1 MiB blocks ride out the moments the capture thread is busy
  // elsewhere (an owner lookup, a sweep).
  return setUpRing(s, handOverMillis, error);
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
  // Bound to an interface that is down, the socket holds ENETDOWN and would
  // deliver nothing: a failed bind, retried like any other.
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(fdOf(s), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
  if (pending != 0) {
    error = pending;
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

bool captureIpv6(CaptureSocket& s, const AdapterUnicast6*, int& error) { return attachFilter(s, true, error); }

namespace {

// Waits at most kCaptureWaitMillis for `block` to be the user's. False with
// `r` telling why when it is not: a time-out, or the failure of the wait or
// of the device.
bool waitForBlock(const CaptureSocket& s, tpacket_block_desc* block, Received& r) {
  if ((__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0) return true;
  struct pollfd p = {fdOf(s), POLLIN, 0};
  const int ready = poll(&p, 1, kCaptureWaitMillis);
  if (ready < 0 && errno != EINTR) {
    r.status = ReceiveStatus::kFailed;
    r.error = errno;
    return false;
  }
  if ((__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0) return true;
  // Packets already in the ring are read first; an error (the device went
  // down or away) ends the wait at once and is not a time-out.
  r.error = ready > 0 ? pollError(s, p.revents) : 0;
  r.status = r.error != 0 ? ReceiveStatus::kFailed : ReceiveStatus::kTimeout;
  return false;
}

}  // namespace

Received captureReceive(CaptureSocket& s, uint8_t* buffer, size_t size) {
  Received r;
  if (s.framesLeft == 0) {
    tpacket_block_desc* block = blockAt(s, s.block);
    if (!waitForBlock(s, block, r)) return r;
    s.framesLeft = block->hdr.bh1.num_pkts;
    s.nextFrame = reinterpret_cast<uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
    if (s.framesLeft == 0) {
      __atomic_store_n(&block->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
      s.block = (s.block + 1) % s.blockCount;
      r.status = ReceiveStatus::kSkipped;
      return r;
    }
  }
  const auto* frame = reinterpret_cast<const tpacket3_hdr*>(s.nextFrame);
  const auto* from = reinterpret_cast<const sockaddr_ll*>(s.nextFrame + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
  // Frames queued between socket creation and bind may come from any
  // interface; loopback shows each packet once outgoing and once incoming.
  const bool ours = from->sll_ifindex == s.ifindex && !(s.loopback && from->sll_pkttype == PACKET_OUTGOING);
  if (ours) {
    const size_t length = frame->tp_snaplen < size ? frame->tp_snaplen : size;
    memcpy(buffer, s.nextFrame + frame->tp_mac, length);
    r.status = ReceiveStatus::kPacket;
    r.length = length;
    r.wireLength = frame->tp_len;
    r.arrivedMillis = static_cast<uint64_t>(frame->tp_sec) * 1000u + frame->tp_nsec / 1000000u;
  } else {
    r.status = ReceiveStatus::kSkipped;
  }
  s.nextFrame += frame->tp_next_offset;
  if (--s.framesLeft == 0) {
    // Every packet of the block is read (and copied): hand it back.
    __atomic_store_n(&blockAt(s, s.block)->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    s.block = (s.block + 1) % s.blockCount;
  }
  return r;
}

Received captureReceiveBlock(CaptureSocket& s, ReceivedFrame* frames, size_t max, size_t& count, uint8_t*, size_t) {
  Received r;
  count = 0;
  if (s.blockTaken) {
    // The caller is done with the frames of the block it was given.
    __atomic_store_n(&blockAt(s, s.block)->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    s.block = (s.block + 1) % s.blockCount;
    s.blockTaken = false;
  }
  if (s.framesLeft == 0) {
    tpacket_block_desc* block = blockAt(s, s.block);
    if (!waitForBlock(s, block, r)) return r;
    s.framesLeft = block->hdr.bh1.num_pkts;
    s.nextFrame = reinterpret_cast<uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
  }
  while (s.framesLeft != 0 && count < max) {
    const auto* frame = reinterpret_cast<const tpacket3_hdr*>(s.nextFrame);
    const auto* from = reinterpret_cast<const sockaddr_ll*>(s.nextFrame + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
    if (from->sll_ifindex == s.ifindex && !(s.loopback && from->sll_pkttype == PACKET_OUTGOING)) {
      frames[count++] = ReceivedFrame{s.nextFrame + frame->tp_mac, frame->tp_snaplen, frame->tp_len,
                                      static_cast<uint64_t>(frame->tp_sec) * 1000u + frame->tp_nsec / 1000000u};
    }
    s.nextFrame += frame->tp_next_offset;
    --s.framesLeft;
  }
  s.blockTaken = s.framesLeft == 0;
  r.status = count != 0 ? ReceiveStatus::kPacket : ReceiveStatus::kSkipped;
  return r;
}

bool captureDrops(CaptureSocket& s, uint64_t& dropped) {
  // With a TPACKET_V3 ring the answer is the v3 form; tp_drops counts the
  // packets that found the ring full.
  struct tpacket_stats_v3 stats = {};
  socklen_t length = sizeof stats;
  if (getsockopt(fdOf(s), SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return false;
  dropped += stats.tp_drops;
  return true;
}

bool captureClose(CaptureSocket& s, int& error) {
  if (s.ring != nullptr) munmap(s.ring, s.ringBytes);
  s.ring = nullptr;
  s.framesLeft = 0;
  s.blockTaken = false;
  const int fd = fdOf(s);
  s.handle = -1;
  if (close(fd) != 0) {
    error = errno;
    return false;
  }
  return true;
}

