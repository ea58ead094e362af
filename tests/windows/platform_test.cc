// The Windows platform layer against the real Win32 calls: adapters, endpoint
// tables, process identity, the export socket, the capture socket, files and
// the clock. One line per check; exit status 1 when any check fails. Runs on
// Windows or under Wine (see run-under-wine.sh).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, so that windows.h does not bring in the old winsock.h.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h.
#include <evntrace.h>

#include <cinttypes>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/names/quic_initial.h"
#include "capture/names/quic_test_vectors.h"
#include "export/datagram.h"
#include "export/datagram_builder.h"
#include "flow/ip_text.h"
#include "platform/adapters.h"
#include "platform/capture_socket.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/endpoints.h"
#include "platform/files.h"
#include "platform/owner_events.h"
#include "platform/quic_crypto.h"
#include "platform/tls_certificate.h"
#include "platform/udp_socket.h"
#include "process/process_identity.h"
#include "runtime/console.h"
#include "runtime/listener.h"
#include "runtime/state.h"

// The capture routine reads its listener and where it came from through the
// settings store, which needs JsonCpp; in this program the listener is
// 127.0.0.1, configured.
std::string settingString(const char*) { return "127.0.0.1"; }
bool settingFlag(const char*, bool fallback) { return fallback; }
bool listenerDiscovered(const std::string&) { return false; }
bool followDiscoveredListener(const AdapterList&) { return false; }

namespace {

constexpr uint32_t kLoopback = 0x7f000001;
int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

// `text` on one line: line breaks shown as \n.
std::string oneLine(const std::string& text) {
  std::string shown;
  for (char c : text) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown;
}

// What `fn` writes to standard output (C runtime and console helpers alike),
// through a text-mode file as a console or a redirection would have it, read
// back in text mode.
std::string capturedStdout(const std::function<void()>& fn) {
  const char* path = "vantrel-platform-test.out";
  std::fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  const int file = _open(path, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, 0600);
  _dup2(file, _fileno(stdout));
  _close(file);
  fn();
  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  std::string text;
  if (FILE* f = std::fopen(path, "r")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
  }
  std::remove(path);
  return text;
}

// Wine names a socket's owner only once the process itself holds the
// socket's Unix descriptor, which a FIONREAD query makes it fetch; on Windows
// the query changes nothing.
void touch(SOCKET s) {
  u_long pending = 0;
  ioctlsocket(s, FIONREAD, &pending);
}

bool hasRow(const EndpointTable& t, uint32_t address, uint16_t port, uint32_t pid) {
  for (const EndpointRow& r : t.rows) {
    if (r.localAddr == address && r.localPort == port && r.pid == pid) return true;
  }
  return false;
}

std::string rowsText(const EndpointTable& t) {
  std::string text;
  for (const EndpointRow& r : t.rows) {
    text += " " + ipToDotted(r.localAddr) + ":" + std::to_string(r.localPort) + "/" + std::to_string(r.pid);
  }
  return text;
}

bool sortedByAddressAndPort(const EndpointTable& t) {
  for (size_t i = 1; i < t.rows.size(); ++i) {
    const EndpointRow& a = t.rows[i - 1];
    const EndpointRow& b = t.rows[i];
    if (a.localAddr > b.localAddr || (a.localAddr == b.localAddr && a.localPort > b.localPort)) return false;
  }
  return true;
}

void checkAdapters() {
  const AdapterList list = listAdapters();
  check(list.result == kAdaptersOk,
        "GetAdaptersAddresses succeeds (result " + std::to_string(list.result) + ")");
  const AdapterInfo* loopback = nullptr;
  for (const AdapterInfo& a : list.adapters) {
    for (const AdapterUnicast& u : a.unicast) {
      if (u.family == AF_INET && u.ipv4 == kLoopback) loopback = &a;
    }
  }
  check(loopback != nullptr, "an adapter holds 127.0.0.1");
  if (!loopback) return;
  check(loopback->ifIndex != 0 && loopback->length != 0, "loopback adapter has an index and a record length");
  check(!loopback->adapterName.empty() && !loopback->friendlyName.empty(),
        "loopback adapter has a name and a friendly name (\"" + loopback->friendlyName + "\")");
  uint32_t first = 0;
  for (const AdapterUnicast& u : loopback->unicast) {
    if (u.family == AF_INET && first == 0) first = u.ipv4;
  }
  check(ipToDotted(first) == "127.0.0.1", "its first IPv4 address reads \"" + ipToDotted(first) + "\"");

  // The adapter report prints link speeds as unsigned 64-bit numbers, zone
  // indices as 32-bit hex; sizes appear in other messages. C99 formats on
  // Windows' runtime too.
  const std::string text = capturedStdout([&] {
    consolePrintf("%" PRIu64 " %lx %zu %d\n", UINT64_MAX, static_cast<unsigned long>(0xabcdefu),
                  sizeof(uint64_t), -7);
  });
  check(text == "18446744073709551615 abcdef 8 -7\n", "console formats 64-bit, hex, size_t and int");
}

// A TCP listener on `address` at a port the system picks; INVALID_SOCKET
// when it cannot be had.
SOCKET tcpListener(uint32_t address, uint16_t& port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(address);
  int length = sizeof where;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    return INVALID_SOCKET;
  }
  port = ntohs(where.sin_port);
  touch(s);
  return s;
}

// A socket on [::] that takes IPv4 too, at a port the system picks.
SOCKET dualStackSocket(int type, uint16_t& port) {
  SOCKET s = socket(AF_INET6, type, 0);
  const DWORD off = 0;
  sockaddr_in6 where = {};
  where.sin6_family = AF_INET6;
  int length = sizeof where;
  setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
  bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where);
  if (type == SOCK_STREAM) listen(s, 4);
  getsockname(s, reinterpret_cast<sockaddr*>(&where), &length);
  port = ntohs(where.sin6_port);
  touch(s);
  return s;
}

void checkEndpoints() {
  const uint32_t pid = GetCurrentProcessId();
  uint16_t tcpPort = 0;
  const SOCKET listener = tcpListener(kLoopback, tcpPort);
  check(listener != INVALID_SOCKET, "own TCP listener on 127.0.0.1:" + std::to_string(tcpPort));

  UdpSocket udp;
  std::string error;
  uint16_t udpPort = 0;
  const bool bound =
      udpOpen(udp, error) && udpBind(udp, kLoopback, 0, error) && udpLocalPort(udp, udpPort, error);
  check(bound, "own UDP socket on 127.0.0.1:" + std::to_string(udpPort) + error);
  touch(static_cast<SOCKET>(udp.handle));

  // More sockets on 127.0.0.9 down to 127.0.0.2, so that the tables' order
  // is put to the test whatever else the machine has open.
  std::vector<SOCKET> extraTcp;
  std::vector<UdpSocket> extraUdp;
  for (uint32_t host = 9; host >= 2; --host) {
    uint16_t ignored = 0;
    if (SOCKET s = tcpListener(0x7f000000 | host, ignored); s != INVALID_SOCKET) extraTcp.push_back(s);
    UdpSocket u;
    if (udpOpen(u, error) && udpBind(u, 0x7f000000 | host, 0, error)) {
      touch(static_cast<SOCKET>(u.handle));
      extraUdp.push_back(u);
    } else {
      udpClose(u);
    }
  }
  check(extraTcp.size() == 8 && extraUdp.size() == 8, "eight more TCP and UDP sockets on 127.0.0.2-9");

  uint16_t dualTcpPort = 0, dualUdpPort = 0;
  const SOCKET dualTcp = dualStackSocket(SOCK_STREAM, dualTcpPort);
  const SOCKET dualUdp = dualStackSocket(SOCK_DGRAM, dualUdpPort);

  const EndpointTable tcp = readTcpEndpoints();
  check(tcp.status == EndpointStatus::kOk, tcp.function + " reads (code " + std::to_string(tcp.code) + ")");
  check(hasRow(tcp, kLoopback, tcpPort, pid), "TCP rows hold 127.0.0.1:" + std::to_string(tcpPort) + " of pid " +
                                       std::to_string(pid) + " among " + std::to_string(tcp.rows.size()) +
                                       ":" + rowsText(tcp));
  check(sortedByAddressAndPort(tcp), "TCP rows sorted by local address and port");
  const EndpointTable udpRows = readUdpEndpoints();
  check(udpRows.status == EndpointStatus::kOk,
        udpRows.function + " reads (code " + std::to_string(udpRows.code) + ")");
  check(hasRow(udpRows, kLoopback, udpPort, pid), "UDP rows hold 127.0.0.1:" + std::to_string(udpPort) + " of pid " +
                                           std::to_string(pid) + " among " +
                                           std::to_string(udpRows.rows.size()) + ":" + rowsText(udpRows));
  check(sortedByAddressAndPort(udpRows), "UDP rows sorted by local address and port");
  // Wine (8.0) names no owner of any IPv6 TCP row; Windows does.
  const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  const bool tcpOwned = hasRow(tcp, 0, dualTcpPort, pid) || (wine && hasRow(tcp, 0, dualTcpPort, 0));
  check(dualTcpPort && dualUdpPort && tcpOwned && hasRow(udpRows, 0, dualUdpPort, pid),
        "dual-stack sockets on [::] are rows 0.0.0.0:" + std::to_string(dualTcpPort) + " (TCP) and 0.0.0.0:" +
            std::to_string(dualUdpPort) + " (UDP) of pid " + std::to_string(pid) + (wine ? ", TCP 0 under Wine" : ""));
  // The IPv6 tables list the same sockets with their IPv6 ends.
  const EndpointTable6 tcp6 = readTcp6Endpoints(), udp6 = readUdp6Endpoints();
  const auto hasAnyRow6 = [](const EndpointTable6& t, uint16_t port, uint32_t owner) {
    for (const EndpointRow6& r : t.rows) {
      if (r.localAddr.unspecified() && r.localPort == port && r.pid == owner) return true;
    }
    return false;
  };
  check(tcp6.status == EndpointStatus::kOk && udp6.status == EndpointStatus::kOk &&
            (hasAnyRow6(tcp6, dualTcpPort, pid) || (wine && hasAnyRow6(tcp6, dualTcpPort, 0))) &&
            hasAnyRow6(udp6, dualUdpPort, pid),
        "IPv6 rows [::]:" + std::to_string(dualTcpPort) + " (TCP) and [::]:" + std::to_string(dualUdpPort) +
            " (UDP) of pid " + std::to_string(pid) + " among " + std::to_string(tcp6.rows.size()) + " and " +
            std::to_string(udp6.rows.size()));
  closesocket(dualTcp);
  closesocket(dualUdp);
  udpClose(udp);
  closesocket(listener);
  for (UdpSocket& u : extraUdp) udpClose(u);
  for (SOCKET s : extraTcp) closesocket(s);
}

void checkProcessIdentity() {
  char path[1024];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string tail(path, n);
  for (char& c : tail) {
    if (c == '\\') c = '/';
  }
  if (tail.size() > kProcessNameMax) tail = tail.substr(tail.size() - kProcessNameMax);

  std::string user, domain;
  const std::string name = getProcessIdentity(GetCurrentProcessId(), user, domain);
  check(name == tail, "own process name \"" + name + "\" is the image path tail \"" + tail + "\"");
  check(name.find('/') != std::string::npos && name.find('\\') == std::string::npos, "name uses / and no \\");
  check(!user.empty(), "own account \"" + user + "\" in domain \"" + domain + "\"");

  std::string user0, domain0;
  const std::string name0 = getProcessIdentity(0, user0, domain0);
  check(name0 == "Pid:0" && user0.empty() && domain0.empty(),
        "process 0 is \"" + name0 + "\" with no account");
}

void checkExportSocket() {
  std::string error;
  UdpSocket collector;
  uint16_t port = 0;
  const bool bound = udpOpen(collector, error) && udpBind(collector, kLoopback, 0, error) &&
                     udpLocalPort(collector, port, error);
  check(bound, "collector socket on 127.0.0.1:" + std::to_string(port) + error);
  // The export socket as the export loop makes it: any address, any port.
  UdpSocket exporter;
  check(udpOpen(exporter, error) && udpBind(exporter, 0, 0, error), "export socket bound " + error);
  uint32_t destination = 0;
  check(ipv4FromText("127.0.0.1", destination) && destination == kLoopback, "127.0.0.1 converts");

  const FlowRecord record = makeFlowRecord(1, 0, 17, 0x0a000001, kLoopback, 40000, 2055, 1500, 0, 46, 1000,
                                           makeOwner("C:/Tools/client.exe", "alice", "HOST1"));
  const int32_t sentBefore = exportsSent;
  DatagramBuilder builder(
      [&](const uint8_t* data, size_t size) { return udpSendTo(exporter, data, size, destination, port); });
  builder.add(record, 1000);
  builder.add(record, 1000);
  check(builder.sendPending() && exportsSent == sentBefore + 1, "datagram of two records handed to sendto");

  uint8_t buffer[2048];
  UdpDatagram got;
  const UdpWait wait = udpReceive(collector, buffer, sizeof buffer, 5000, got, error);
  std::vector<FlowRecord> records;
  std::string decodeError;
  const bool decoded = wait == UdpWait::received && decodeDatagram(buffer, got.size, records, decodeError);
  check(decoded && records.size() == 2 && got.fromAddress == kLoopback,
        "collector receives it from 127.0.0.1 and decodes two records " + error + decodeError);
  if (decoded && records.size() == 2) {
    const FlowRecord& r = records[1];
    check(r.srcip == 0x0a000001 && r.dstip == kLoopback && r.srcport == 40000 && r.dstport == 2055 &&
              r.bytes == 1500 && r.tos == 46 && r.firstseen == 1000 &&
              r.processname() == "C:/Tools/client.exe" && r.user() == "alice" && r.domain() == "HOST1",
          "record fields survive the trip in network byte order");
  }
  udpClose(exporter);
  udpClose(collector);
}

void checkCapture() {
  // Wine has no receive-all mode, and Windows gives raw sockets only to an
  // administrator: the run either gets through set-up or stops at a step with
  // exactly that step's messages.
  const std::string opened = "Sniffer Socket created!\n";
  const std::string optionsSet = opened + "Sniffer options set!\n\nBinding to :127.0.0.1";
  const std::string bound = optionsSet + "\nListener Socket bound to 127.0.0.1!";
  const std::vector<std::string> endings = {
      "Sniffer Socket creation FAILED!\n",
      opened + "Sniffer unable to set socket options!\n",
      bound + "\nListener Socket couldn't set IO control!\n",
      bound + "\nListener Socket IO controls set!\nExiting sniffer\n",
  };
  keepSniffing = false;
  const std::string out = capturedStdout([] { runSniffer(); });
  bool known = false;
  for (const std::string& e : endings) known = known || out == e;
  if (!known && out.rfind(optionsSet + "\nListener binding Socket FAILED code:", 0) == 0) known = true;
  // Through set-up: the IPv6 socket beside it either opens or says in one
  // line why not.
  const std::string through = bound + "\nListener Socket IO controls set!\nIPv6 capture on ";
  const std::string end = "; capturing IPv4 only\nExiting sniffer\n";
  if (!known && out.size() > through.size() + end.size() && out.rfind(through, 0) == 0 &&
      out.compare(out.size() - end.size(), end.size(), end) == 0) {
    const std::string middle = out.substr(through.size(), out.size() - through.size() - end.size());
    known = middle.find('\n') == std::string::npos;
  }
  check(known, "capture set-up ends on a known path: \"" + oneLine(out) + "\"");
  check(!snifferRunning, "snifferRunning is false after the run");

  // The IPv6 socket beside the IPv4 one: without an address it is not even
  // tried; on ::1 it opens, or fails with the system's reason and leaves no
  // socket behind.
  CaptureSocket s;
  int error = 0;
  captureStartup();
  check(!captureIpv6(s, nullptr, error) && error == WSAEADDRNOTAVAIL && s.handle6 == -1,
        "IPv6 capture without an address fails with WSAEADDRNOTAVAIL");
  AdapterUnicast6 loopback6;
  loopback6.address.bytes[15] = 1;
  error = 0;
  const bool opened6 = captureIpv6(s, &loopback6, error);
  check(opened6 ? s.handle6 != -1 : (error != 0 && s.handle6 == -1),
        "IPv6 capture on ::1 opens or says why (" + std::to_string(error) + ")");
  if (opened6) {
    closesocket(static_cast<SOCKET>(s.handle6));
    s.handle6 = -1;
  }
  captureCleanup();

  const std::string close = capturedStdout([] { consoleWidePrintf(L"closesocket for listener failed with error: %d\n", 10038); });
  check(close == "closesocket for listener failed with error: 10038\n",
        "wide close-failure message: \"" + oneLine(close) + "\"");
}

void checkFilesAndClock() {
  const std::string path = "vantrel-platform-test.json";
  check(replaceFileContents(path, "{\n   \"a\" : 1\n}") && replaceFileContents(path, "{}\n"),
        "an existing file is replaced");
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[64];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
  }
  check(text == "{}\n", "replaced file holds the new text byte for byte");
  check(withSystemLineBreaks("{\n   \"a\" : 1\n}") == "{\r\n   \"a\" : 1\r\n}",
        "text files get CRLF line breaks");
  std::remove(path.c_str());

  const uint64_t before = currentTimeMillis();
  const int64_t skew = static_cast<int64_t>(before / 1000) - static_cast<int64_t>(std::time(nullptr));
  check(skew >= -2 && skew <= 2, "clock agrees with time() (skew " + std::to_string(skew) + " s)");
  sleepMillis(50);
  const uint64_t slept = currentTimeMillis() - before;
  check(slept >= 40 && slept < 5000, "sleepMillis(50) sleeps " + std::to_string(slept) + " ms");
}

// Where the trace session cannot be had (no administrator rights; Wine),
// opening says why and leaves nothing to read. Where it can, a stale session
// of our name is taken over, a UDP send of this process is reported, and
// closing ends the session.
void checkOwnerEvents() {
  struct {
    EVENT_TRACE_PROPERTIES p;
    wchar_t name[64];
  } left = {};
  left.p.Wnode.BufferSize = sizeof left;
  left.p.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  left.p.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  left.p.LoggerNameOffset = sizeof left.p;
  TRACEHANDLE stale = 0;
  const wchar_t* name = L"Vantrel Owner Events";  // as platform/windows/owner_events.cc names it
  const bool leftOne = StartTraceW(&stale, name, &left.p) == ERROR_SUCCESS;
  const OwnerEventsOpen opened = openOwnerEvents();
  std::vector<OwnerEvent> got;
  if (opened.error != 0) {
    check(opened.reason.find("trace session: ") != std::string::npos, "owner events unavailable: " + opened.reason);
    check(readOwnerEvents(got, 10) != 0 && got.empty(), "nothing to read from a source that did not open");
    return;
  }
  check(leftOne, "owner events open over a stale session of their name");
  UdpSocket a;
  std::string error;
  uint16_t port = 0;
  check(udpOpen(a, error) && udpBind(a, kLoopback, 0, error) && udpLocalPort(a, port, error), "UDP socket" + error);
  bool named = false;
  for (int i = 0; i < 20 && !named && readOwnerEvents(got, 250) == 0; ++i) {
    const uint8_t byte = 1;
    udpSendTo(a, &byte, 1, kLoopback, 9);
    for (const OwnerEvent& e : got) named |= e.pid == GetCurrentProcessId() && e.localPort == port;
  }
  check(named, "a UDP send of this process is reported with its port");
  udpClose(a);
  closeOwnerEvents();
  check(ControlTraceW(0, name, &left.p, EVENT_TRACE_CONTROL_QUERY) == ERROR_WMI_INSTANCE_NOT_FOUND,
        "closing ends the session");
}

// The QUIC Initial cryptography on CNG: the keys of both versions, and the
// server name read from both client Initial test packets.
void checkQuicCrypto() {
  const uint8_t dcid[8] = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
  const uint8_t v1Hp[16] = {0x9f, 0x50, 0x44, 0x9e, 0x04, 0xa0, 0xe8, 0x10,
                            0x28, 0x3a, 0x1e, 0x99, 0x33, 0xad, 0xed, 0xd2};
  const uint8_t v2Key[16] = {0x8b, 0x1a, 0x0b, 0xc1, 0x21, 0x28, 0x42, 0x90,
                             0xa2, 0x9e, 0x09, 0x71, 0xb5, 0xcd, 0x04, 0x5d};
  QuicInitialKeys v1, v2;
  check(quicClientInitialKeys(kQuicVersion1, dcid, sizeof dcid, &v1) && memcmp(v1.hp, v1Hp, 16) == 0,
        "QUIC v1 client Initial header-protection key from HMAC-SHA256");
  check(quicClientInitialKeys(kQuicVersion2, dcid, sizeof dcid, &v2) && memcmp(v2.key, v2Key, 16) == 0,
        "QUIC v2 client Initial packet key from HMAC-SHA256");
  for (const char* packet : {kQuicTestV1ClientInitial, kQuicTestV2ClientInitial}) {
    std::vector<uint8_t> datagram = quicTestBytes(packet);
    char name[256] = {};
    size_t length = 0;
    const bool named = quicServerName(datagram.data(), datagram.size(), name, &length);
    check(named && std::string(name, length) == "example.com",
          std::string("QUIC ") + (packet == kQuicTestV1ClientInitial ? "v1" : "v2") +
              " client Initial opened with AES-ECB and AES-GCM names \"" + name + "\"");
    datagram[600] ^= 1;
    check(!quicServerName(datagram.data(), datagram.size(), name, &length), "a changed ciphertext byte fails the tag");
  }
}

// The web sign-in's hashes and random bytes on CryptoAPI, and the HTTPS
// refusal of this build.
void checkWebCrypto() {
  check(md5Hex("abc") == "900150983cd24fb0d6963f7d28e17f72", "MD5 of \"abc\" from CryptoAPI");
  check(sha256Hex("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "SHA-256 of \"abc\" from CryptoAPI");
  unsigned char a[16] = {}, b[16] = {};
  check(randomBytes(a, sizeof a) && randomBytes(b, sizeof b) && memcmp(a, b, sizeof a) != 0,
        "random bytes from CryptoAPI differ");
  std::string why;
  const bool available = tlsAvailable(why);
  check(!available && why.find("no TLS library") != std::string::npos, "HTTPS refused: " + why);
}

}  // namespace

int main() {
  WSADATA data;
  check(WSAStartup(MAKEWORD(2, 2), &data) == 0, "Winsock 2.2 starts");
  checkAdapters();
  checkEndpoints();
  checkProcessIdentity();
  checkExportSocket();
  checkCapture();
  checkFilesAndClock();
  checkOwnerEvents();
  checkQuicCrypto();
  checkWebCrypto();
  WSACleanup();
  std::printf("%s: %d failed\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
