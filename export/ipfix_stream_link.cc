#include "export/ipfix_stream_link.h"

#include <algorithm>

#include "export/ipfix.h"
#include "platform/clock.h"
#include "runtime/console.h"

namespace {

constexpr int kConnectMillis = 1000;

std::string peerText(const IpfixStreamLink& link) { return link.host + ":" + std::to_string(link.port); }

void linkDown(IpfixStreamLink& link, uint64_t nowMillis, const std::string& reason) {
  tcpClose(link.connection);
  if (!link.toldDown) {
    consoleWrite("Export connection to " + peerText(link) + " down: " + reason +
                 "; finished flows wait while it connects again\n");
    link.toldDown = true;
  }
  link.nextAttemptAt = nowMillis + link.pauseMillis;
  link.pauseMillis = std::min(link.pauseMillis * 2, kLastReconnectMillis);
}

// The templates of both families in a message of their own.
std::vector<uint8_t> templatesMessage() {
  std::vector<uint8_t> m(kIpfixHeaderBytes + kIpfixTemplateSetBytes + kIpfixTemplateSetBytes6);
  size_t at = kIpfixHeaderBytes;
  at += writeIpfixTemplateSet(m.data() + at);
  at += writeIpfixTemplateSet6(m.data() + at);
  putIpfixHeader(m.data(), static_cast<uint16_t>(at), static_cast<uint32_t>(currentTimeMillis() / 1000), 0);
  return m;
}

// Sends the held messages, oldest first; false when the link broke.
bool sendHeld(IpfixStreamLink& link, uint64_t nowMillis) {
  std::string error;
  while (!link.held.empty()) {
    const std::vector<uint8_t>& m = link.held.front();
    if (!tcpSendAll(link.connection, m.data(), m.size(), kStreamSendMillis, error)) {
      linkDown(link, nowMillis, error);
      return false;
    }
    link.held.pop_front();
  }
  return true;
}

}  // namespace

bool streamLinkReady(IpfixStreamLink& link, uint64_t nowMillis) {
  if (link.connection.handle != -1 && tcpPeerGone(link.connection)) {
    linkDown(link, nowMillis, "the collector ended the connection");
  }
  if (link.connection.handle == -1) {
    if (nowMillis < link.nextAttemptAt) return false;
    std::string error;
    if (!tcpConnect(link.connection, link.host, link.port, kConnectMillis, error)) {
      linkDown(link, nowMillis, error);
      return false;
    }
    const std::vector<uint8_t> templates = templatesMessage();
    if (!tcpSendAll(link.connection, templates.data(), templates.size(), kStreamSendMillis, error)) {
      linkDown(link, nowMillis, error);
      return false;
    }
    consoleWrite("Export connected to " + peerText(link) + "\n");
    link.toldDown = false;
    link.pauseMillis = kFirstReconnectMillis;
  }
  return sendHeld(link, nowMillis);
}

void streamLinkSend(IpfixStreamLink& link, const uint8_t* data, size_t size, uint64_t nowMillis) {
  link.held.emplace_back(data, data + size);
  if (link.connection.handle != -1) sendHeld(link, nowMillis);
}

void streamLinkClose(IpfixStreamLink& link) {
  if (link.connection.handle == -1) return;
  tcpShutdownSend(link.connection);
  // The collector closes its side once it has read everything.
  char buffer[256];
  std::string error;
  for (int i = 0; i < 50; ++i) {
    const int64_t n = tcpReceive(link.connection, buffer, sizeof buffer, 100, error);
    if (n == 0 || (n < 0 && error != "timed out")) break;
  }
  tcpClose(link.connection);
}
