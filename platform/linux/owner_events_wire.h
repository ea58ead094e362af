/* The record the kernel programs (owner_events.bpf.c) put in their ring
 * buffer for owner_events.cc to read. C, shared by both sides; layout fixed. */
#ifndef VANTREL_OWNER_EVENTS_WIRE_H
#define VANTREL_OWNER_EVENTS_WIRE_H

#include <linux/types.h>

/* How the socket's ends were learnt. */
enum {
  OWNER_WIRE_CONNECT = 1, /* TCP connect, before the SYN leaves */
  OWNER_WIRE_ACCEPT = 2,  /* TCP connection accepted (owner inherited from the listener) */
  OWNER_WIRE_LISTEN = 3,  /* TCP listen: remote end unknown */
  OWNER_WIRE_BIND = 4,    /* UDP bind: remote end unknown */
  OWNER_WIRE_SENDTO = 5,  /* UDP datagram with an address: local address may be 0 */
  OWNER_WIRE_SEND = 6,    /* first datagram of a connected UDP socket to its peer */
};

struct owner_wire_event {
  __u64 cookie;          /* the socket's cookie, as sock_diag reports it */
  __u64 netns;           /* network namespace cookie of the socket */
  __u32 pid;             /* process (thread group) that created the socket */
  __u32 uid;             /* its user id */
  __u32 local_addr;      /* family 4: network order; 0: any local address */
  __u32 remote_addr;     /* family 4: network order; 0 with remote_port 0: any peer */
  __u32 local_addr6[4];  /* family 6: network order; ::: any local address */
  __u32 remote_addr6[4]; /* family 6: network order; :: with remote_port 0: any peer */
  __u16 local_port;      /* host order */
  __u16 remote_port;     /* host order */
  __u8 protocol;         /* IPPROTO_TCP or IPPROTO_UDP */
  __u8 kind;             /* OWNER_WIRE_* */
  __u8 family;           /* 4 or 6: which addresses hold the ends */
  __u8 pad;
  char comm[16];         /* the creator's command name, zero-terminated */
  __u64 cgroup;          /* the creator's cgroup v2 id when it made the socket */
};

#endif
