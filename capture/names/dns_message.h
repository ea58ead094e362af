// Reading one DNS message: its header, its first question and the addresses
// the answer section gives for that question through its CNAME chain. Pure;
// called on the capture thread by the name table, and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

// One address an answer gives for the question, through its CNAME chain.
struct DnsAddress {
  uint8_t family = 0;          // 4 or 6
  uint8_t address[16] = {};    // network order; IPv4 in the first 4 bytes
  uint32_t ttl = 0;            // seconds, as the answer says
};

// A longest name in wire form: length-prefixed labels and the root's 0.
inline constexpr size_t kDnsMaxWireName = 255;
// A message's fixed header; no message is shorter.
inline constexpr size_t kDnsHeaderLength = 12;

struct DnsMessageView {
  uint16_t id = 0;
  bool response = false, truncated = false;
  uint8_t rcode = 0;
  uint16_t qtype = 0, qclass = 0;
  char question[256] = {};     // the first question's name: lower case, dotted, no final dot,
  size_t questionLength = 0;   //   bytes outside 0x21..0x7E (and '.' or '\' inside a label) as \DDD;
                               //   empty for the root and for a name whose text does not fit
  DnsAddress addresses[32];    // A and AAAA answers reached from the question (response only)
  size_t addressCount = 0;     // more than 32 are left out
  bool hasQuestion = false;    // the message has at least one question
  uint8_t questionWire[kDnsMaxWireName] = {};  // the first question's name in wire form, lower case
  size_t questionWireLength = 0;
};

// Parses one DNS message (UDP payload, or one message of a TCP stream without its 2-byte length).
// False when malformed; never reads past `length`; compression pointers loop-safe.
bool parseDnsMessage(const uint8_t* data, size_t length, DnsMessageView* out);

// Reads the name at `offset` of a message into wire form, lower case, following compression
// pointers (at most a fixed number of them). `*end` is the offset just after the name where it
// stands. False when it runs past `length`, is longer than 255 bytes or uses a reserved label type.
bool readDnsName(const uint8_t* data, size_t length, size_t offset, uint8_t wire[kDnsMaxWireName],
                 size_t* wireLength, size_t* end);
