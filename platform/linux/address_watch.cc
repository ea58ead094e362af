// Linux address notices: an rtnetlink socket in the IPv4 and IPv6 address
// groups, read without waiting. Every message of those groups is an address
// added, changed or removed, so any message (or a lost one: ENOBUFS) counts
// as a change.
#include "platform/address_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

bool addressWatchOpen(AddressWatch& w, int& error) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    error = errno;
    return false;
  }
  sockaddr_nl where = {};
  where.nl_family = AF_NETLINK;
  where.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
    error = errno;
    close(fd);
    return false;
  }
  w.handle = fd;
  return true;
}

bool addressesChanged(AddressWatch& w) {
  if (w.handle < 0) return false;
  bool changed = false;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const ssize_t n = recv(static_cast<int>(w.handle), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == ENOBUFS)) {
      changed = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return changed;  // all read (EAGAIN), or nothing more to be had
    }
  }
}

void addressWatchClose(AddressWatch& w) {
  if (w.handle >= 0) close(static_cast<int>(w.handle));
  w.handle = -1;
}
