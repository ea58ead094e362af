/* Kernel side of the owner events: records who creates each TCP and UDP
 * socket of one network namespace, and reports a socket's ends with that
 * owner as soon as they are known, before the socket's first packet leaves
 * (or, for a connected UDP socket, just after it). Loaded and attached to
 * the cgroup v2 root by owner_events.cc; read through the ring buffer. */
#include <linux/bpf.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "owner_events_wire.h"

#define AF_INET 2
#define AF_INET6 10
#define PROTO_TCP 6
#define PROTO_UDP 17

char LICENSE[] SEC("license") = "GPL";

/* The only namespace whose sockets are watched; set before loading. */
const volatile __u64 watched_netns = 0;

/* The ends of a socket's latest UDP report of each family, so each peer is
 * reported once and not per datagram. */
struct reported_ends {
  __u32 local_addr[4];
  __u32 remote_addr[4];
  __u16 local_port;
  __u16 remote_port;
};

/* What a socket of the watched namespace carries from its creation on. */
struct socket_owner {
  __u64 cookie;
  __u64 cgroup;
  __u32 pid;
  __u32 uid;
  char comm[16];
  __u8 protocol;
  __u8 pad[3];
  struct reported_ends reported4; /* the address in local_addr[0], remote_addr[0] */
  struct reported_ends reported6;
};

/* BPF_F_CLONE: a connection accepted from a listener starts with a copy of
 * the listener's owner (its own creation happens in softirq context, where
 * the current process is whoever was interrupted). */
struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC | BPF_F_CLONE);
  __type(key, int);
  __type(value, struct socket_owner);
} owners SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 1 << 20);
} events SEC(".maps");

/* Events that found the ring buffer full. */
__u64 lost_events = 0;

/* The few fields of the kernel's socket read by the send tracepoint; the
 * loader relocates them against the running kernel's types. */
struct in6_addr {
  union {
    __u32 u6_addr32[4];
  } in6_u;
} __attribute__((preserve_access_index));

struct sock_common {
  __be32 skc_daddr;
  __be32 skc_rcv_saddr;
  __be16 skc_dport;
  __u16 skc_num;
  unsigned short skc_family;
  unsigned char skc_ipv6only : 1;
  struct in6_addr skc_v6_daddr;
  struct in6_addr skc_v6_rcv_saddr;
} __attribute__((preserve_access_index));

struct sock {
  struct sock_common __sk_common;
  __u16 sk_protocol;
} __attribute__((preserve_access_index));

struct tcp_sock {
} __attribute__((preserve_access_index));

/* Reports the ends `local`, `remote` of `family` (4: the address in [0]). */
static __always_inline void report(const struct socket_owner *o, __u8 kind, __u8 family, const __u32 *local,
                                   __u16 local_port, const __u32 *remote, __u16 remote_port) {
  if (local_port == 0) return; /* not bound yet: nothing to key it by */
  struct owner_wire_event *e = bpf_ringbuf_reserve(&events, sizeof *e, 0);
  if (!e) {
    __sync_fetch_and_add(&lost_events, 1);
    return;
  }
  e->cookie = o->cookie;
  e->netns = watched_netns;
  e->pid = o->pid;
  e->uid = o->uid;
  e->family = family;
  e->pad = 0;
  if (family == 6) {
    e->local_addr = e->remote_addr = 0;
    for (int i = 0; i < 4; i++) {
      e->local_addr6[i] = local[i];
      e->remote_addr6[i] = remote[i];
    }
  } else {
    e->local_addr = local[0];
    e->remote_addr = remote[0];
    for (int i = 0; i < 4; i++) e->local_addr6[i] = e->remote_addr6[i] = 0;
  }
  e->local_port = local_port;
  e->remote_port = remote_port;
  e->protocol = o->protocol;
  e->kind = kind;
  __builtin_memcpy(e->comm, o->comm, sizeof e->comm);
  e->cgroup = o->cgroup;
  bpf_ringbuf_submit(e, 0);
}

static __always_inline void report4(const struct socket_owner *o, __u8 kind, __u32 local_addr, __u16 local_port,
                                    __u32 remote_addr, __u16 remote_port) {
  __u32 local[4] = {local_addr, 0, 0, 0}, remote[4] = {remote_addr, 0, 0, 0};
  report(o, kind, 4, local, local_port, remote, remote_port);
}

/* UDP: reports the ends unless they are those reported last for `family`. */
static __always_inline void report_udp(struct socket_owner *o, __u8 kind, __u8 family, const __u32 *local,
                                       __u16 local_port, const __u32 *remote, __u16 remote_port) {
  struct reported_ends *last = family == 6 ? &o->reported6 : &o->reported4;
  const int words = family == 6 ? 4 : 1;
  int same = last->local_port == local_port && last->remote_port == remote_port;
  for (int i = 0; i < 4; i++) {
    if (i < words && (last->local_addr[i] != local[i] || last->remote_addr[i] != remote[i])) same = 0;
  }
  if (same) return;
  for (int i = 0; i < 4; i++) {
    last->local_addr[i] = i < words ? local[i] : 0;
    last->remote_addr[i] = i < words ? remote[i] : 0;
  }
  last->local_port = local_port;
  last->remote_port = remote_port;
  report(o, kind, family, local, local_port, remote, remote_port);
}

static __always_inline void report_udp4(struct socket_owner *o, __u8 kind, __u32 local_addr, __u16 local_port,
                                        __u32 remote_addr, __u16 remote_port) {
  __u32 local[4] = {local_addr, 0, 0, 0}, remote[4] = {remote_addr, 0, 0, 0};
  report_udp(o, kind, 4, local, local_port, remote, remote_port);
}

SEC("cgroup/sock_create")
int sock_create(struct bpf_sock *sk) {
  if (sk->protocol != PROTO_TCP && sk->protocol != PROTO_UDP) return 1;
  if (bpf_get_netns_cookie(sk) != watched_netns) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (!o) return 1;
  o->cookie = bpf_get_socket_cookie(sk);
  o->pid = (__u32)(bpf_get_current_pid_tgid() >> 32);
  o->uid = (__u32)bpf_get_current_uid_gid();
  bpf_get_current_comm(o->comm, sizeof o->comm);
  o->cgroup = bpf_get_current_cgroup_id();
  o->protocol = (__u8)sk->protocol;
  return 1;
}

static __always_inline int is_v4_mapped(const __u32 *a) {
  return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0x0000ffff);
}

static __always_inline int is_unspecified(const __u32 *a) { return (a[0] | a[1] | a[2] | a[3]) == 0; }

SEC("sockops")
int sock_ops(struct bpf_sock_ops *ops) {
  __u8 kind;
  switch (ops->op) {
    case BPF_SOCK_OPS_TCP_CONNECT_CB: kind = OWNER_WIRE_CONNECT; break;
    case BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB: kind = OWNER_WIRE_ACCEPT; break;
    case BPF_SOCK_OPS_TCP_LISTEN_CB: kind = OWNER_WIRE_LISTEN; break;
    default: return 1;
  }
  struct bpf_sock *sk = ops->sk;
  if (!sk) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (!o) return 1;

  const __u16 local_port = (__u16)ops->local_port;
  __u16 remote_port = kind == OWNER_WIRE_LISTEN ? 0 : (__u16)bpf_ntohl(ops->remote_port);
  if (ops->family == AF_INET) {
    report4(o, kind, ops->local_ip4, local_port, kind == OWNER_WIRE_LISTEN ? 0 : ops->remote_ip4, remote_port);
    return 1;
  }
  if (ops->family != AF_INET6) return 1;
  __u32 local6[4] = {ops->local_ip6[0], ops->local_ip6[1], ops->local_ip6[2], ops->local_ip6[3]};
  __u32 remote6[4] = {ops->remote_ip6[0], ops->remote_ip6[1], ops->remote_ip6[2], ops->remote_ip6[3]};
  if (kind != OWNER_WIRE_LISTEN) {
    /* A connection to an IPv4-mapped peer carries IPv4, and the IPv4 fields
     * hold its ends. */
    if (is_v4_mapped(remote6)) report4(o, kind, ops->local_ip4, local_port, ops->remote_ip4, remote_port);
    else report(o, kind, 6, local6, local_port, remote6, remote_port);
    return 1;
  }
  /* A listener on a mapped address takes IPv4 only; one on :: takes IPv6,
   * and IPv4 too unless it is IPv6-only. */
  __u32 any[4] = {0, 0, 0, 0};
  if (is_v4_mapped(local6)) {
    report4(o, kind, local6[3], local_port, 0, 0);
    return 1;
  }
  report(o, kind, 6, local6, local_port, any, 0);
  if (!is_unspecified(local6)) return 1;
  struct sock *full = (struct sock *)bpf_skc_to_tcp_sock(sk);
  if (full && !BPF_CORE_READ_BITFIELD(&full->__sk_common, skc_ipv6only)) report4(o, kind, 0, local_port, 0, 0);
  return 1;
}

/* UDP sockets that bind: a server's port, before any peer is known. */
SEC("cgroup/post_bind4")
int udp_bind4(struct bpf_sock *sk) {
  if (sk->protocol != PROTO_UDP) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (o) report_udp4(o, OWNER_WIRE_BIND, sk->src_ip4, (__u16)sk->src_port, 0, 0);
  return 1;
}

/* A socket on :: takes both families (IPv4 as well when it is not
 * IPv6-only, which this hook cannot tell: the IPv4 ends name its owner
 * either way); one on a mapped address IPv4 only. */
SEC("cgroup/post_bind6")
int udp_bind6(struct bpf_sock *sk) {
  if (sk->protocol != PROTO_UDP) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (!o) return 1;
  __u32 local6[4] = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]};
  __u32 any[4] = {0, 0, 0, 0};
  const __u16 port = (__u16)sk->src_port;
  if (is_v4_mapped(local6)) {
    report_udp4(o, OWNER_WIRE_BIND, local6[3], port, 0, 0);
    return 1;
  }
  report_udp(o, OWNER_WIRE_BIND, 6, local6, port, any, 0);
  if (is_unspecified(local6)) report_udp4(o, OWNER_WIRE_BIND, 0, port, 0, 0);
  return 1;
}

/* A datagram sent with an address (also through an IPv6 socket to a mapped
 * address, which the kernel hands to the IPv4 path). The socket is bound by
 * now; its local address is 0 unless it was bound to one or the sender
 * chose one. */
SEC("cgroup/sendmsg4")
int udp_sendmsg4(struct bpf_sock_addr *ctx) {
  struct bpf_sock *sk = ctx->sk;
  if (!sk || sk->protocol != PROTO_UDP) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (!o) return 1;
  __u32 local_addr = ctx->msg_src_ip4 ? ctx->msg_src_ip4 : sk->src_ip4;
  report_udp4(o, OWNER_WIRE_SENDTO, local_addr, (__u16)sk->src_port, ctx->user_ip4,
              bpf_ntohs((__u16)ctx->user_port));
  return 1;
}

/* The same for an IPv6 destination (mapped ones went the IPv4 way above). */
SEC("cgroup/sendmsg6")
int udp_sendmsg6(struct bpf_sock_addr *ctx) {
  struct bpf_sock *sk = ctx->sk;
  if (!sk || sk->protocol != PROTO_UDP) return 1;
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (!o) return 1;
  __u32 local6[4] = {ctx->msg_src_ip6[0], ctx->msg_src_ip6[1], ctx->msg_src_ip6[2], ctx->msg_src_ip6[3]};
  if (is_unspecified(local6)) {
    local6[0] = sk->src_ip6[0];
    local6[1] = sk->src_ip6[1];
    local6[2] = sk->src_ip6[2];
    local6[3] = sk->src_ip6[3];
  }
  __u32 remote6[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
  report_udp(o, OWNER_WIRE_SENDTO, 6, local6, (__u16)sk->src_port, remote6, bpf_ntohs((__u16)ctx->user_port));
  return 1;
}

/* A connected UDP socket sends without an address, so the hooks above never
 * see it: the send tracepoint reports its ends after the first datagram. */
SEC("tp_btf/sock_send_length")
int udp_send(unsigned long long *ctx) {
  struct sock *sk = (struct sock *)ctx[0];
  if (!sk || (int)ctx[1] <= 0 || sk->sk_protocol != PROTO_UDP) return 0;
  __be16 dport = sk->__sk_common.skc_dport;
  if (dport == 0) return 0; /* not connected: reported by sendmsg4 or sendmsg6 */
  struct socket_owner *o = bpf_sk_storage_get(&owners, sk, 0, 0);
  if (!o) return 0;
  if (sk->__sk_common.skc_family == AF_INET6) {
    __u32 local6[4], remote6[4];
    for (int i = 0; i < 4; i++) {
      local6[i] = sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[i];
      remote6[i] = sk->__sk_common.skc_v6_daddr.in6_u.u6_addr32[i];
    }
    /* Connected to a mapped peer, the socket sends IPv4 from its IPv4 ends. */
    if (!is_v4_mapped(remote6)) {
      report_udp(o, OWNER_WIRE_SEND, 6, local6, sk->__sk_common.skc_num, remote6, bpf_ntohs(dport));
      return 0;
    }
  }
  report_udp4(o, OWNER_WIRE_SEND, sk->__sk_common.skc_rcv_saddr, sk->__sk_common.skc_num,
              sk->__sk_common.skc_daddr, bpf_ntohs(dport));
  return 0;
}
