// Linux endpoint tables: the kernel's IPv4 and IPv6 socket lists of the
// calling thread's network namespace (netlink sock_diag, else /proc/net),
// each socket's owner found through its inode among the open files under
// /proc/[pid]/fd.
#include "platform/endpoints.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform/linux/socket_rows.h"

namespace {

// Socket inode -> owning pid, kept between reads so that only sockets not
// seen before cost a walk through /proc. Entries whose socket is no longer
// listed are dropped at each read. One per protocol and thread, so no lock.
struct OwnerCache {
  struct Known {
    uint32_t pid;
    uint32_t mark;  // number of the last read that listed the inode
  };
  std::unordered_map<uint64_t, Known> byInode;
  uint32_t mark = 0;
};
thread_local OwnerCache tcpOwners;
thread_local OwnerCache udpOwners;
thread_local OwnerCache tcp6Owners;
thread_local OwnerCache udp6Owners;

std::vector<uint32_t> processIds() {
  std::vector<uint32_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* entry = readdir(proc)) {
    uint32_t pid = 0;
    const char* name = entry->d_name;
    const char* end = name + strlen(name);
    auto [stop, ec] = std::from_chars(name, end, pid);
    if (ec == std::errc() && stop == end && pid > 0) pids.push_back(pid);
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

// "socket:[12345]" -> 12345; 0 for any other link.
uint64_t socketInode(const char* link, size_t length) {
  static const char kPrefix[] = "socket:[";
  const size_t prefix = sizeof kPrefix - 1;
  if (length < prefix + 2 || memcmp(link, kPrefix, prefix) != 0 || link[length - 1] != ']') return 0;
  uint64_t inode = 0;
  auto [stop, ec] = std::from_chars(link + prefix, link + length - 1, inode);
  return ec == std::errc() && stop == link + length - 1 ? inode : 0;
}

// Sets each value of `wanted` (inode -> 0) to the lowest pid that holds the
// inode open. Walks processes in ascending pid order and stops once every
// inode has its owner; inodes that no visible process holds stay 0.
void findSocketOwners(std::unordered_map<uint64_t, uint32_t>& wanted) {
  size_t left = wanted.size();
  char path[48];
  char link[64];
  for (uint32_t pid : processIds()) {
    snprintf(path, sizeof path, "/proc/%u/fd", pid);
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* files = fdopendir(fd);
    if (!files) {
      close(fd);
      continue;
    }
    while (dirent* entry = readdir(files)) {
      if (entry->d_name[0] == '.') continue;
      ssize_t n = readlinkat(fd, entry->d_name, link, sizeof link);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof link) continue;
      const uint64_t inode = socketInode(link, static_cast<size_t>(n));
      if (inode == 0) continue;
      auto it = wanted.find(inode);
      if (it == wanted.end() || it->second != 0) continue;
      it->second = pid;
      if (--left == 0) {
        closedir(files);
        return;
      }
    }
    closedir(files);
  }
}

// Fills in the pid of every row that `ownerWanted` asks for, and of every
// row whose owner is already known. Sockets without an inode (time-wait,
// not yet accepted) have no owner and get pid 0, as do sockets whose holder
// this process cannot see.
void attachOwners(std::vector<SocketRow>& rows, OwnerCache& cache, const OwnerFilter& ownerWanted) {
  const uint32_t mark = ++cache.mark;
  std::unordered_map<uint64_t, uint32_t> wanted;
  for (const SocketRow& row : rows) {
    if (row.inode == 0) continue;
    auto it = cache.byInode.find(row.inode);
    if (it != cache.byInode.end()) {
      it->second.mark = mark;
    } else if (!ownerWanted || ownerWanted(row.localPort)) {
      wanted.emplace(row.inode, 0);
    }
  }
  if (!wanted.empty()) {
    findSocketOwners(wanted);
    for (const auto& w : wanted) cache.byInode[w.first] = OwnerCache::Known{w.second, mark};
  }
  std::erase_if(cache.byInode, [mark](const auto& e) { return e.second.mark != mark; });
  for (SocketRow& row : rows) {
    auto it = row.inode == 0 ? cache.byInode.end() : cache.byInode.find(row.inode);
    row.pid = it == cache.byInode.end() ? 0 : it->second.pid;
  }
}

// `procFiles`: the IPv4 file and the IPv6 one, which a kernel without IPv6
// does not have.
EndpointTable readEndpoints(uint8_t protocol, const char* const (&procFiles)[2], OwnerCache& cache,
                            const OwnerFilter& ownerWanted) {
  EndpointTable out;
  out.function = procFiles[0];
  std::vector<SocketRow> rows;
  int error = 0;
  if (!readNetlinkSockets(protocol, rows, error)) {
    rows.clear();
    for (const char* file : procFiles) {
      if (!readProcNetSockets(file, rows, error) && (file == procFiles[0] || error != ENOENT)) {
        out.status = EndpointStatus::kReadFailed;
        out.function = file;
        out.code = error;
        return out;
      }
    }
  }
  attachOwners(rows, cache, ownerWanted);
  if (protocol == IPPROTO_TCP) {
    sortTcpRows(rows);
  } else {
    sortUdpRows(rows);
  }
  out.rows.reserve(rows.size());
  for (const SocketRow& r : rows) out.rows.push_back(EndpointRow{r.localAddr, r.localPort, r.pid});
  return out;
}

// The IPv6 rows; a kernel without IPv6 has neither the netlink family nor
// the file, and no rows.
EndpointTable6 readEndpoints6(uint8_t protocol, const char* procFile, OwnerCache& cache,
                              const OwnerFilter& ownerWanted) {
  EndpointTable6 out;
  out.function = procFile;
  std::vector<SocketRow> rows;
  int error = 0;
  if (!readNetlinkSockets6(protocol, rows, error)) {
    rows.clear();
    if (!readProcNetSockets6(procFile, rows, error) && error != ENOENT) {
      out.status = EndpointStatus::kReadFailed;
      out.code = error;
      return out;
    }
  }
  attachOwners(rows, cache, ownerWanted);
  out.rows.reserve(rows.size());
  for (const SocketRow& r : rows) {
    out.rows.push_back(EndpointRow6{r.localAddr6, r.remoteAddr6, r.localPort, r.remotePort, r.pid});
  }
  return out;
}

// The sock_diag socket of this thread's probes, opened at the first one.
struct ProbeSocket {
  int fd = -1;
  ~ProbeSocket() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};
thread_local ProbeSocket probeSocket;

// Asks through this thread's probe socket; `ask` is probeNetlinkSocket or
// its IPv6 form bound to the ends.
template <typename Ask>
SocketPresence probe(Ask ask) {
  if (probeSocket.fd < 0) {
    probeSocket.fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (probeSocket.fd < 0) return SocketPresence::kUnknown;
    // "No such socket" comes back as an error message; without this it
    // carries a copy of the question as well.
    const int capAck = 1;
    setsockopt(probeSocket.fd, SOL_NETLINK, NETLINK_CAP_ACK, &capAck, sizeof capAck);
  }
  int error = 0;
  switch (ask(probeSocket.fd, error)) {
    case 1:
      return SocketPresence::kPresent;
    case 0:
      return SocketPresence::kAbsent;
    default:
      // Whatever went wrong, the next probe starts on a fresh socket.
      probeSocket.reset();
      return SocketPresence::kUnknown;
  }
}

SocketPresence probe(uint8_t protocol, const SocketEnds& ends) {
  return probe([&](int fd, int& error) {
    return probeNetlinkSocket(fd, protocol, ends.localAddr, ends.localPort, ends.remoteAddr, ends.remotePort, error);
  });
}

SocketPresence probe6(uint8_t protocol, const SocketEnds6& ends) {
  return probe([&](int fd, int& error) {
    return probeNetlinkSocket6(fd, protocol, ends.localAddr, ends.localPort, ends.remoteAddr, ends.remotePort,
                               error);
  });
}

}  // namespace

SocketPresence probeTcpSocket(const SocketEnds& ends) { return probe(IPPROTO_TCP, ends); }

SocketPresence probeUdpSocket(const SocketEnds& ends) { return probe(IPPROTO_UDP, ends); }

SocketPresence probeTcp6Socket(const SocketEnds6& ends) { return probe6(IPPROTO_TCP, ends); }

SocketPresence probeUdp6Socket(const SocketEnds6& ends) { return probe6(IPPROTO_UDP, ends); }

EndpointTable readTcpEndpoints(const OwnerFilter& ownerWanted) {
  static const char* const kFiles[2] = {"/proc/net/tcp", "/proc/net/tcp6"};
  return readEndpoints(IPPROTO_TCP, kFiles, tcpOwners, ownerWanted);
}

EndpointTable readUdpEndpoints(const OwnerFilter& ownerWanted) {
  static const char* const kFiles[2] = {"/proc/net/udp", "/proc/net/udp6"};
  return readEndpoints(IPPROTO_UDP, kFiles, udpOwners, ownerWanted);
}

EndpointTable6 readTcp6Endpoints(const OwnerFilter& ownerWanted) {
  return readEndpoints6(IPPROTO_TCP, "/proc/net/tcp6", tcp6Owners, ownerWanted);
}

EndpointTable6 readUdp6Endpoints(const OwnerFilter& ownerWanted) {
  return readEndpoints6(IPPROTO_UDP, "/proc/net/udp6", udp6Owners, ownerWanted);
}

void forgetEndpointOwners() {
  tcpOwners = OwnerCache{};
  udpOwners = OwnerCache{};
  tcp6Owners = OwnerCache{};
  udp6Owners = OwnerCache{};
  probeSocket.reset();
}
