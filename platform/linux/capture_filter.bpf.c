/* Kernel side of the capture socket's filter while flows are named: the
 * same cuts as the classic filter of capture_socket.cc, except for DNS over
 * TCP. A TCP segment to or from port 53 comes whole once its direction of
 * the connection has begun a DNS message (a length of at least a header,
 * then a header with a question); before that it is cut to its headers like
 * any other. A message may span several segments, whose bytes look like
 * anything, so the directions that began one are remembered here.
 *
 * The program sees the network header first (a SOCK_DGRAM packet socket);
 * what it returns is how many bytes of the packet the ring keeps. */
#include <linux/bpf.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define PROTO_TCP 6
#define PROTO_UDP 17
#define PROTO_ICMPV6 58

/* Kept of a packet: its headers, the whole of it, nothing. */
#define CUT 128
#define WHOLE 0xFFFFFFFFu
#define DROP 0

#define DNS_PORT 53
#define DNS_HEADER 12

char LICENSE[] SEC("license") = "GPL";

/* Whether IPv6 packets are kept (cut or whole) or dropped; set before loading. */
const volatile __u8 with_ipv6 = 0;

/* One direction of a TCP connection to or from port 53. */
struct dns_direction {
  __u8 src[16];
  __u8 dst[16];
  __u16 sport;
  __u16 dport;
  __u8 family;
  __u8 pad[3];
};

/* The directions that began a DNS message, the least recently met out
 * first when full. */
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 4096);
  __type(key, struct dns_direction);
  __type(value, __u8);
} dns_directions SEC(".maps");

/* A DNS-over-TCP segment whose payload starts at `payload`. It begins a
 * message when it holds a length of at least a header, then a header with
 * a question, or that length alone (some write it apart). */
static __always_inline __u32 dns_over_tcp(struct __sk_buff *skb, struct dns_direction *direction, __u32 payload) {
  __u8 head[2 + 6];
  const __u32 bytes = skb->len - payload;
  if (bpf_skb_load_bytes(skb, payload, head, bytes == 2 ? 2 : sizeof head) == 0) {
    const __u32 length = (__u32)head[0] << 8 | head[1];
    const __u32 questions = bytes == 2 ? 1 : (__u32)head[6] << 8 | head[7];
    if (length >= DNS_HEADER && questions != 0) {
      const __u8 begun = 1;
      bpf_map_update_elem(&dns_directions, direction, &begun, BPF_ANY);
      return WHOLE;
    }
  }
  return bpf_map_lookup_elem(&dns_directions, direction) ? WHOLE : CUT;
}

/* A TCP or UDP packet of `proto` whose transport header is at `at`. */
static __always_inline __u32 transport(struct __sk_buff *skb, __u8 proto, __u32 at, struct dns_direction *direction) {
  __u8 th[14];
  if (proto == PROTO_TCP) {
    if (bpf_skb_load_bytes(skb, at, th, 14) != 0) return CUT;
    const __u16 sport = (__u16)th[0] << 8 | th[1];
    const __u16 dport = (__u16)th[2] << 8 | th[3];
    const __u32 payload = at + (__u32)(th[12] >> 4) * 4;
    if (skb->len <= payload) return CUT;
    if (sport == DNS_PORT || dport == DNS_PORT) {
      direction->sport = sport;
      direction->dport = dport;
      return dns_over_tcp(skb, direction, payload);
    }
    /* A TLS handshake record holding a ClientHello. */
    __u8 tls[6];
    if (bpf_skb_load_bytes(skb, payload, tls, sizeof tls) != 0) return CUT;
    return tls[0] == 0x16 && tls[1] == 0x03 && tls[5] == 1 ? WHOLE : CUT;
  }
  if (bpf_skb_load_bytes(skb, at, th, 8) != 0) return CUT;
  const __u16 sport = (__u16)th[0] << 8 | th[1];
  const __u16 dport = (__u16)th[2] << 8 | th[3];
  __u8 first[6];
  if (sport == DNS_PORT || dport == DNS_PORT) {
    /* A DNS message with a question; one without names nothing. */
    if (bpf_skb_load_bytes(skb, at + 8, first, 6) != 0) return CUT;
    return first[4] != 0 || first[5] != 0 ? WHOLE : CUT;
  }
  /* A QUIC long header. */
  if (bpf_skb_load_bytes(skb, at + 8, first, 1) != 0) return CUT;
  return (first[0] & 0xc0) == 0xc0 ? WHOLE : CUT;
}

SEC("socket")
int capture_filter(struct __sk_buff *skb) {
  struct dns_direction direction = {};
  const __u16 protocol = bpf_ntohs((__u16)skb->protocol);
  if (protocol == ETH_P_IP) {
    __u8 ip[20];
    if (bpf_skb_load_bytes(skb, 0, ip, sizeof ip) != 0) return CUT;
    /* A later fragment has no transport header. */
    if (((ip[6] << 8 | ip[7]) & 0x1fff) != 0) return CUT;
    if (ip[9] != PROTO_TCP && ip[9] != PROTO_UDP) return CUT;
    direction.family = 4;
    __builtin_memcpy(direction.src, ip + 12, 4);
    __builtin_memcpy(direction.dst, ip + 16, 4);
    return transport(skb, ip[9], (__u32)(ip[0] & 0x0f) * 4, &direction);
  }
  if (!with_ipv6 || protocol != ETH_P_IPV6) return DROP;
  __u8 ip6[40];
  if (bpf_skb_load_bytes(skb, 0, ip6, sizeof ip6) != 0) return CUT;
  /* With extension headers the packet comes whole, for its chain may be
   * longer than any cut. */
  if (ip6[6] == PROTO_ICMPV6) return CUT;
  if (ip6[6] != PROTO_TCP && ip6[6] != PROTO_UDP) return WHOLE;
  direction.family = 6;
  __builtin_memcpy(direction.src, ip6 + 8, 16);
  __builtin_memcpy(direction.dst, ip6 + 24, 16);
  return transport(skb, ip6[6], 40, &direction);
}
