// The monitor's IPFIX stream to a collector (exportTransport "tcp"): one
// connection that comes back after a break, with a growing pause, and the
// messages that could not leave meanwhile, sent first once it is back. The
// templates open every connection. Export thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/tcp_client.h"

// Pauses between attempts to connect: doubling from the first to the last.
inline constexpr uint32_t kFirstReconnectMillis = 100;
inline constexpr uint32_t kLastReconnectMillis = 2000;
// A send that cannot go on for this long breaks the connection.
inline constexpr int kStreamSendMillis = 5000;

struct IpfixStreamLink {
  std::string host;  // receiverIP
  uint16_t port = 0;  // receiverPort
  TcpClient connection;  // handle -1 while down
  uint64_t nextAttemptAt = 0;  // steady ms
  uint32_t pauseMillis = kFirstReconnectMillis;
  bool toldDown = false;  // the console heard of this outage
  std::deque<std::vector<uint8_t>> held;  // whole messages not sent yet, in order
};

// True when the link is up: connects first when it is down and the pause
// is over, then sends the templates and the held messages. Closes a
// connection whose collector ended its stream (an orderly stop): the
// collector reads everything sent before that.
bool streamLinkReady(IpfixStreamLink& link, uint64_t nowMillis);

// Sends one whole message, or holds it when the link is down or breaks
// during the send (a message cut by the break is sent again whole; the
// collector drops the cut one with its connection).
void streamLinkSend(IpfixStreamLink& link, const uint8_t* data, size_t size, uint64_t nowMillis);

// Ends the connection in order: no more is sent, the collector reads what
// was. The held messages stay.
void streamLinkClose(IpfixStreamLink& link);
