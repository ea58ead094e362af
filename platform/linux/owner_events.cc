// Linux owner events: small eBPF programs (owner_events.bpf.c) on the cgroup
// v2 root see every socket of the machine being created, connected, bound,
// made to listen or used to send, and report those of this network
// namespace through a ring buffer. Closes come from the sock_diag destroy
// groups, which name the closed socket by its cookie. The programs are
// attached through bpf links beside any others (several monitors may run),
// and go away when the links close, at the latest when the process ends.
#include "platform/owner_events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <dirent.h>
#include <sys/epoll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#if __has_include("owner_events.skel.h")
#include <bpf/libbpf.h>

#include "owner_events.skel.h"
#include "platform/linux/owner_events_wire.h"
#define VANTREL_OWNER_EVENTS_BUILT 1
#else
#define VANTREL_OWNER_EVENTS_BUILT 0
#endif

#if VANTREL_OWNER_EVENTS_BUILT

namespace {

#ifndef SO_NETNS_COOKIE
constexpr int SO_NETNS_COOKIE = 71;
#endif

std::string errorText(int error) { return strerror(error); }

// The cookie of the caller's network namespace (kernel 5.14 and later).
int namespaceCookie(uint64_t& cookie) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  socklen_t length = sizeof cookie;
  const int rc = getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length);
  const int error = rc == 0 ? 0 : errno;
  close(fd);
  return error;
}

// The mount point of the cgroup v2 hierarchy's root, from a mountinfo text
// ("" when none is listed).
std::string cgroup2Root(const std::string& mountinfo) {
  std::istringstream lines(mountinfo);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mountpoint options... - fstype source opts
    std::istringstream fields(line);
    std::string id, parent, device, root, point, word;
    fields >> id >> parent >> device >> root >> point;
    while (fields >> word && word != "-") {
    }
    std::string type;
    fields >> type;
    if (type == "cgroup2" && root == "/") return point;
  }
  return "";
}

std::string fileText(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Opens the cgroup v2 root where this process sees it mounted. A monitor
// started in a namespace of its own by `ip netns exec` sees a fresh /sys
// without the cgroup mounts: it mounts the hierarchy for a moment on a
// folder of its own, opens it and lets the mount go again.
int openCgroupRoot(int& fd) {
  const std::string point = cgroup2Root(fileText("/proc/self/mountinfo"));
  if (!point.empty()) {
    fd = open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? errno : 0;
  }
  char folder[] = "/tmp/vantrel-cgroup-XXXXXX";
  if (mkdtemp(folder) == nullptr) return errno;
  int error = 0;
  if (mount("cgroup2", folder, "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    error = errno;
  } else {
    fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) error = errno;
    umount2(folder, MNT_DETACH);
  }
  rmdir(folder);
  return error;
}

// The sock_diag groups that report closed TCP and UDP sockets, IPv4 and IPv6
// (an IPv6 socket may carry IPv4).
int openCloseReports(int& fd) {
  fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
  if (fd < 0) return errno;
  const int bytes = 4 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  sockaddr_nl where = {};
  where.nl_family = AF_NETLINK;
  for (int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET_UDP_DESTROY, SKNLGRP_INET6_TCP_DESTROY,
                    SKNLGRP_INET6_UDP_DESTROY}) {
    where.nl_groups |= 1u << (group - 1);
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
    const int error = errno;
    close(fd);
    fd = -1;
    return error;
  }
  return 0;
}

// Reads every close report waiting on `fd` into `out`.
int readCloseReports(int fd, std::vector<OwnerEvent>& out) {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        OwnerEvent lost;
        lost.kind = OwnerEventKind::kClosesLost;
        out.push_back(lost);
        continue;
      }
      return errno;
    }
    int left = static_cast<int>(n);
    for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      OwnerEvent closed;
      closed.kind = OwnerEventKind::kClosed;
      closed.cookie = static_cast<uint64_t>(msg->id.idiag_cookie[1]) << 32 | msg->id.idiag_cookie[0];
      out.push_back(closed);
    }
  }
}

struct Source {
  owner_events_bpf* skeleton = nullptr;
  bpf_link* links[7] = {};
  ring_buffer* ring = nullptr;
  int cgroup = -1, closes = -1, poller = -1;
  uint64_t netns = 0;
  std::vector<OwnerEvent>* sink = nullptr;  // where the ring's callback appends, during a read
};
Source source;

int silent(enum libbpf_print_level, const char*, va_list) { return 0; }

int takeEvent(void*, void* data, size_t size) {
  if (size < sizeof(owner_wire_event) || source.sink == nullptr) return 0;
  owner_wire_event wire;
  memcpy(&wire, data, sizeof wire);
  OwnerEvent e;
  e.kind = OwnerEventKind::kOwned;
  e.protocol = wire.protocol;
  e.family = wire.family == 6 ? 6 : 4;
  if (e.family == 6) {
    e.localAddr6 = Ip6Address::fromBytes(reinterpret_cast<const uint8_t*>(wire.local_addr6));
    e.remoteAddr6 = Ip6Address::fromBytes(reinterpret_cast<const uint8_t*>(wire.remote_addr6));
  } else {
    e.localAddr = ntohl(wire.local_addr);
    e.remoteAddr = ntohl(wire.remote_addr);
  }
  e.localPort = wire.local_port;
  e.remotePort = wire.remote_port;
  e.cookie = wire.cookie;
  e.pid = wire.pid;
  e.uid = wire.uid;
  memcpy(e.comm, wire.comm, sizeof e.comm);
  e.comm[sizeof e.comm - 1] = '\0';
  e.netns = wire.netns;
  e.cgroup = wire.cgroup;
  source.sink->push_back(e);
  return 0;
}

// Visits the cgroups below the open folder `dir` (path `path`), depth first;
// false when `visit` asked to stop. Takes `dir` over.
bool walkBelow(int dir, std::string& path, const std::function<bool(uint64_t, std::string_view)>& visit) {
  DIR* listing = fdopendir(dir);
  if (listing == nullptr) {
    close(dir);
    return true;
  }
  bool going = true;
  while (going) {
    const dirent* entry = readdir(listing);
    if (entry == nullptr) break;
    if (entry->d_type != DT_DIR || strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    const int child = openat(dirfd(listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (child < 0) continue;  // removed meanwhile
    struct stat st;
    if (fstat(child, &st) != 0) {
      close(child);
      continue;
    }
    const size_t length = path.size();
    path += '/';
    path += entry->d_name;
    going = visit(st.st_ino, path) && walkBelow(child, path, visit);
    path.resize(length);
  }
  closedir(listing);
  return going;
}

OwnerEventsOpen failed(const std::string& step, int error) {
  closeOwnerEvents();
  return OwnerEventsOpen{error, step + ": " + errorText(error)};
}

// Loads the programs; without the send tracepoint (kernels before 6.3, or
// no BTF) when it alone is refused: connected UDP sockets then go unreported.
int load(uint64_t netns) {
  for (bool withSend : {true, false}) {
    source.skeleton = owner_events_bpf__open();
    if (source.skeleton == nullptr) return errno ? errno : EINVAL;
    source.skeleton->rodata->watched_netns = netns;
    if (!withSend) bpf_program__set_autoload(source.skeleton->progs.udp_send, false);
    if (owner_events_bpf__load(source.skeleton) == 0) return 0;
    const int error = errno ? errno : EINVAL;
    owner_events_bpf__destroy(source.skeleton);
    source.skeleton = nullptr;
    if (!withSend) return error;
  }
  return EINVAL;
}

}  // namespace

OwnerEventsOpen openOwnerEvents() {
  closeOwnerEvents();
  libbpf_set_print(silent);
  int error = namespaceCookie(source.netns);
  if (error != 0) return failed("reading the network namespace", error);
  if ((error = load(source.netns)) != 0) return failed("loading the kernel programs", error);
  if ((error = openCgroupRoot(source.cgroup)) != 0) return failed("opening the cgroup v2 root", error);

  auto* progs = &source.skeleton->progs;
  bpf_program* onRoot[] = {progs->sock_create, progs->sock_ops, progs->udp_bind4, progs->udp_bind6,
                           progs->udp_sendmsg4, progs->udp_sendmsg6};
  size_t linked = 0;
  for (bpf_program* program : onRoot) {
    source.links[linked] = bpf_program__attach_cgroup(program, source.cgroup);
    if (source.links[linked] == nullptr) return failed("attaching to the cgroup v2 root", errno ? errno : EINVAL);
    ++linked;
  }
  if (bpf_program__autoload(progs->udp_send)) {
    source.links[linked] = bpf_program__attach(progs->udp_send);
    if (source.links[linked] == nullptr) return failed("attaching to the send tracepoint", errno ? errno : EINVAL);
  }

  source.ring = ring_buffer__new(bpf_map__fd(source.skeleton->maps.events), takeEvent, nullptr, nullptr);
  if (source.ring == nullptr) return failed("opening the event ring", errno ? errno : EINVAL);
  if ((error = openCloseReports(source.closes)) != 0) return failed("subscribing to socket closes", error);

  source.poller = epoll_create1(EPOLL_CLOEXEC);
  if (source.poller < 0) return failed("waiting for events", errno);
  for (int fd : {ring_buffer__epoll_fd(source.ring), source.closes}) {
    epoll_event watch = {};
    watch.events = EPOLLIN;
    watch.data.fd = fd;
    if (epoll_ctl(source.poller, EPOLL_CTL_ADD, fd, &watch) != 0) return failed("waiting for events", errno);
  }
  return OwnerEventsOpen{};
}

int readOwnerEvents(std::vector<OwnerEvent>& out, int timeoutMillis) {
  if (source.poller < 0) return EBADF;
  epoll_event ready[2];
  const int n = epoll_wait(source.poller, ready, 2, timeoutMillis);
  if (n < 0) return errno == EINTR ? 0 : errno;
  // Owners before closes: a socket that opened and closed within one wait
  // must be known before its close is applied.
  source.sink = &out;
  const int consumed = ring_buffer__consume(source.ring);
  source.sink = nullptr;
  if (consumed < 0) return -consumed;
  return readCloseReports(source.closes, out);
}

uint64_t ownerEventsNamespace() { return source.netns; }

// On cgroup v2 a cgroup's id is its folder's inode number.
bool walkOwnerCgroups(const std::function<bool(uint64_t, std::string_view)>& visit) {
  if (source.cgroup < 0) return false;
  struct stat st;
  if (fstat(source.cgroup, &st) != 0) return false;
  if (!visit(st.st_ino, "/")) return true;
  const int root = openat(source.cgroup, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return false;
  std::string path;
  walkBelow(root, path, visit);
  return true;
}

void closeOwnerEvents() {
  if (source.poller >= 0) close(source.poller);
  if (source.closes >= 0) close(source.closes);
  if (source.ring != nullptr) ring_buffer__free(source.ring);
  for (bpf_link*& link : source.links) {
    if (link != nullptr) bpf_link__destroy(link);
    link = nullptr;
  }
  if (source.skeleton != nullptr) owner_events_bpf__destroy(source.skeleton);
  if (source.cgroup >= 0) close(source.cgroup);
  source = Source{};
}

#else

OwnerEventsOpen openOwnerEvents() {
  return OwnerEventsOpen{ENOSYS, "built without the kernel programs (clang, bpftool or libbpf missing)"};
}
int readOwnerEvents(std::vector<OwnerEvent>&, int) { return EBADF; }
uint64_t ownerEventsNamespace() { return 0; }
bool walkOwnerCgroups(const std::function<bool(uint64_t, std::string_view)>&) { return false; }
void closeOwnerEvents() {}

#endif
