#include "platform/linux/socket_rows.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/endpoints.h"

namespace {

template <typename T>
bool parseHex(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

// "0100007F:0CEA": each 32-bit word of the address (one for IPv4, four for
// IPv6) as the kernel prints it, its network-order value in native order;
// the port in host order.
bool parseEndpoint(std::string_view text, uint32_t (&words)[4], size_t& count, uint16_t& port) {
  const size_t colon = text.find(':');
  if (colon != 8 && colon != 32) return false;
  count = colon / 8;
  for (size_t i = 0; i < count; ++i) {
    if (!parseHex(text.substr(8 * i, 8), words[i])) return false;
  }
  return parseHex(text.substr(colon + 1), port);
}

// The 16 bytes of an address that parseEndpoint read as four words.
Ip6Address addressOfWords(const uint32_t (&words)[4]) {
  Ip6Address a;
  memcpy(a.bytes, words, sizeof a.bytes);
  return a;
}

// One line into `row`. IPv4 rows (`ipv6Rows` false): IPv4 lines, and IPv6
// lines of sockets that carry IPv4, which the file does not say are
// IPv6-only: one on :: counts as carrying IPv4, as the system's default has
// it. IPv6 rows: IPv6 lines whose ends are not IPv4-mapped. False for a line
// that does not parse or gives no row of the kind asked for.
bool parseLine(std::string_view line, SocketRow& row, bool ipv6Rows) {
  std::string_view fields[10];
  size_t count = 0;
  size_t at = 0;
  while (count < 10) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) break;
    size_t end = line.find_first_of(" \t", at);
    if (end == std::string_view::npos) end = line.size();
    fields[count++] = line.substr(at, end - at);
    at = end;
  }
  if (count < 10) return false;
  uint32_t local[4], remote[4];
  size_t localWords = 0, remoteWords = 0;
  if (!parseEndpoint(fields[1], local, localWords, row.localPort)) return false;
  if (!parseEndpoint(fields[2], remote, remoteWords, row.remotePort) || remoteWords != localWords) return false;
  if (ipv6Rows) {
    if (localWords != 4) return false;
    row.localAddr6 = addressOfWords(local);
    row.remoteAddr6 = addressOfWords(remote);
    if (row.localAddr6.v4Mapped() || row.remoteAddr6.v4Mapped()) return false;
  } else if (localWords == 1) {
    row.localAddr = ntohl(local[0]);
    row.remoteAddr = ntohl(remote[0]);
  } else {
    uint8_t localBytes[16], remoteBytes[16];
    memcpy(localBytes, local, sizeof localBytes);
    memcpy(remoteBytes, remote, sizeof remoteBytes);
    if (!ipv4EndsOfIpv6Socket(localBytes, remoteBytes, false, row.localAddr, row.remoteAddr)) return false;
  }
  auto [end, ec] = std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), row.inode, 10);
  return ec == std::errc() && end == fields[9].data() + fields[9].size();
}

void parseLines(std::string_view text, std::vector<SocketRow>& rows, bool ipv6Rows) {
  size_t at = text.find('\n');  // the header line
  while (at != std::string_view::npos && at < text.size()) {
    const size_t start = at + 1;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    SocketRow row;
    if (parseLine(text.substr(start, end - start), row, ipv6Rows)) rows.push_back(row);
    at = end;
  }
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// A sock_diag question about `family` sockets of `protocol` in every state:
// a dump of them all (NLM_F_DUMP in `flags`), or one socket given by `id`.
struct DiagRequest {
  nlmsghdr header{};
  inet_diag_req_v2 request{};

  DiagRequest(uint8_t family, uint8_t protocol, uint16_t flags, uint32_t sequence) {
    header.nlmsg_len = sizeof *this;
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    request.sdiag_family = family;
    request.sdiag_protocol = protocol;
    request.idiag_states = ~0u;
  }
};

// The older form of the TCP dump question, the one form that asks for the
// sockets of both families at once. The kernel walks its whole connection
// hash for every dump, however few sockets it holds, which costs far more
// than the rows; one walk for both families halves that.
struct TcpDumpRequest {
  nlmsghdr header{};
  inet_diag_req request{};

  TcpDumpRequest() {
    header.nlmsg_len = sizeof *this;
    header.nlmsg_type = TCPDIAG_GETSOCK;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = 1;
    request.idiag_states = ~0u;
  }
};

// Sends `message` to the kernel; false with errno in `error`.
template <typename Message>
bool sendToKernel(int fd, const Message& message, int& error) {
  sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) error = errno;
  return sent >= 0;
}

// Whether the IPv6 socket of a dump message is IPv6-only, as its
// INET_DIAG_SKV6ONLY attribute says; false when the message has none.
bool ipv6Only(const nlmsghdr* h) {
  const size_t start = NLMSG_SPACE(sizeof(inet_diag_msg));
  int left = static_cast<int>(h->nlmsg_len) - static_cast<int>(start);
  const char* at = reinterpret_cast<const char*>(h) + start;
  for (auto* a = reinterpret_cast<const rtattr*>(at); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if (a->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(a) >= 1) {
      return *static_cast<const uint8_t*>(RTA_DATA(a)) != 0;
    }
  }
  return false;
}

// Sends the dump question `request` through `fd` and appends the rows of
// the answer: those that carry IPv4, or with `ipv6Rows` the IPv6 sockets
// whose ends are not IPv4-mapped; false with errno in `error` when it fails.
template <typename Request>
bool dumpSockets(int fd, const Request& request, std::vector<char>& buf, std::vector<SocketRow>& rows, int& error,
                 bool ipv6Rows = false) {
  if (!sendToKernel(fd, request, error)) return false;
  for (;;) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) {
        nlmsgerr failure;
        memcpy(&failure, NLMSG_DATA(h), std::min<size_t>(sizeof failure, h->nlmsg_len - NLMSG_HDRLEN));
        error = failure.error < 0 ? -failure.error : EIO;
        return false;
      }
      // Answers come with the question's type.
      if (h->nlmsg_type != request.header.nlmsg_type || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        continue;
      }
      inet_diag_msg diag;
      memcpy(&diag, NLMSG_DATA(h), sizeof diag);
      SocketRow row;
      if (ipv6Rows) {
        if (diag.idiag_family != AF_INET6) continue;
        row.localAddr6 = Ip6Address::fromBytes(reinterpret_cast<const uint8_t*>(diag.id.idiag_src));
        row.remoteAddr6 = Ip6Address::fromBytes(reinterpret_cast<const uint8_t*>(diag.id.idiag_dst));
        if (row.localAddr6.v4Mapped() || row.remoteAddr6.v4Mapped()) continue;
      } else if (diag.idiag_family == AF_INET) {
        row.localAddr = ntohl(diag.id.idiag_src[0]);
        row.remoteAddr = ntohl(diag.id.idiag_dst[0]);
      } else if (diag.idiag_family != AF_INET6 ||
                 !ipv4EndsOfIpv6Socket(reinterpret_cast<const uint8_t*>(diag.id.idiag_src),
                                       reinterpret_cast<const uint8_t*>(diag.id.idiag_dst), ipv6Only(h),
                                       row.localAddr, row.remoteAddr)) {
        continue;
      }
      row.localPort = ntohs(diag.id.idiag_sport);
      row.remotePort = ntohs(diag.id.idiag_dport);
      row.inode = diag.idiag_inode;
      rows.push_back(row);
    }
  }
}

}  // namespace

void parseProcNetSockets(std::string_view text, std::vector<SocketRow>& rows) { parseLines(text, rows, false); }

void parseProcNetSockets6(std::string_view text, std::vector<SocketRow>& rows) { parseLines(text, rows, true); }

namespace {

bool readFileText(const char* path, std::string& text, int& error) {
  Fd file{open(path, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    error = errno;
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(file.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return false;
    }
    if (n == 0) return true;
    text.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

bool readProcNetSockets(const char* path, std::vector<SocketRow>& rows, int& error) {
  std::string text;
  if (!readFileText(path, text, error)) return false;
  parseProcNetSockets(text, rows);
  return true;
}

bool readProcNetSockets6(const char* path, std::vector<SocketRow>& rows, int& error) {
  std::string text;
  if (!readFileText(path, text, error)) return false;
  parseProcNetSockets6(text, rows);
  return true;
}

bool readNetlinkSockets(uint8_t protocol, std::vector<SocketRow>& rows, int& error) {
  Fd sock{socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  if (sock.fd < 0) {
    error = errno;
    return false;
  }
  const size_t first = rows.size();
  std::vector<char> buf(65536);
  // UDP has one dump per family; its hash is small.
  const bool ok =
      protocol == IPPROTO_TCP
          ? dumpSockets(sock.fd, TcpDumpRequest(), buf, rows, error)
          : dumpSockets(sock.fd, DiagRequest(AF_INET, protocol, NLM_F_REQUEST | NLM_F_DUMP, 1), buf, rows, error) &&
                dumpSockets(sock.fd, DiagRequest(AF_INET6, protocol, NLM_F_REQUEST | NLM_F_DUMP, 2), buf, rows, error);
  if (!ok) rows.resize(first);
  return ok;
}

bool readNetlinkSockets6(uint8_t protocol, std::vector<SocketRow>& rows, int& error) {
  Fd sock{socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  if (sock.fd < 0) {
    error = errno;
    return false;
  }
  const size_t first = rows.size();
  std::vector<char> buf(65536);
  const bool ok =
      dumpSockets(sock.fd, DiagRequest(AF_INET6, protocol, NLM_F_REQUEST | NLM_F_DUMP, 1), buf, rows, error, true);
  if (!ok) rows.resize(first);
  return ok;
}

namespace {

// Sends the one-socket question `message` and reads its answer: 1 when the
// kernel names a socket, 0 when it has none, -1 with errno in `error`.
int askForOneSocket(int fd, const DiagRequest& message, int& error) {
  if (!sendToKernel(fd, message, error)) return -1;
  // The kernel answers within the send, so the reply is already queued; a
  // reply left over from an earlier question has another sequence number.
  alignas(nlmsghdr) char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return -1;
    }
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != message.header.nlmsg_seq) continue;
      if (h->nlmsg_type == NLMSG_ERROR) {
        nlmsgerr failure;
        memset(&failure, 0, sizeof failure);
        memcpy(&failure, NLMSG_DATA(h), std::min<size_t>(sizeof failure, h->nlmsg_len - NLMSG_HDRLEN));
        if (failure.error == -ENOENT) return 0;
        error = failure.error < 0 ? -failure.error : EIO;
        return -1;
      }
      // Whatever the socket's family: an IPv6 socket that the kernel's IPv4
      // lookup finds takes IPv4, and the dumps list it.
      if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) return 1;
    }
  }
}

uint32_t probeSequence() {
  static thread_local uint32_t sequence = 0;
  return ++sequence;
}

// TCP takes the ends as the socket sees them. UDP takes them as the packet
// does: source (remote) first.
template <typename Address, typename Put>
DiagRequest oneSocketQuestion(uint8_t family, uint8_t protocol, const Address& localAddr, uint16_t localPort,
                              const Address& remoteAddr, uint16_t remotePort, Put put) {
  DiagRequest message(family, protocol, NLM_F_REQUEST, probeSequence());
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  const bool packetOrder = protocol == IPPROTO_UDP;
  put(message.request.id.idiag_src, packetOrder ? remoteAddr : localAddr);
  message.request.id.idiag_sport = htons(packetOrder ? remotePort : localPort);
  put(message.request.id.idiag_dst, packetOrder ? localAddr : remoteAddr);
  message.request.id.idiag_dport = htons(packetOrder ? localPort : remotePort);
  return message;
}

}  // namespace

int probeNetlinkSocket(int fd, uint8_t protocol, uint32_t localAddr, uint16_t localPort, uint32_t remoteAddr,
                       uint16_t remotePort, int& error) {
  const DiagRequest message = oneSocketQuestion(AF_INET, protocol, localAddr, localPort, remoteAddr, remotePort,
                                                [](__be32 (&words)[4], uint32_t a) { words[0] = htonl(a); });
  return askForOneSocket(fd, message, error);
}

int probeNetlinkSocket6(int fd, uint8_t protocol, const Ip6Address& localAddr, uint16_t localPort,
                        const Ip6Address& remoteAddr, uint16_t remotePort, int& error) {
  const DiagRequest message =
      oneSocketQuestion(AF_INET6, protocol, localAddr, localPort, remoteAddr, remotePort,
                        [](__be32 (&words)[4], const Ip6Address& a) { memcpy(words, a.bytes, sizeof words); });
  return askForOneSocket(fd, message, error);
}

void sortTcpRows(std::vector<SocketRow>& rows) {
  std::sort(rows.begin(), rows.end(), [](const SocketRow& a, const SocketRow& b) {
    return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort, a.pid) <
           std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort, b.pid);
  });
}

void sortUdpRows(std::vector<SocketRow>& rows) {
  std::sort(rows.begin(), rows.end(), [](const SocketRow& a, const SocketRow& b) {
    return std::tie(a.localAddr, a.localPort, a.pid) < std::tie(b.localAddr, b.localPort, b.pid);
  });
}
