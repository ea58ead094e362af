// Known records and their wire bytes, shared by the export tests, the
// collector tests and the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/flow_record.h"

// The same flow between 2001:db8::10 and 2001:db8:1::5, flow label 0x12345.
inline FlowEntry sampleTcpEntry6();

// A finished TCP flow 192.168.1.10:50000 -> 203.0.113.5:443 of client.exe.
inline FlowRecord sampleTcpRecord() {
  FlowRecord r;
  r.srcip = 0xC0A8010A;  // 192.168.1.10
  r.dstip = 0xCB007105;  // 203.0.113.5
  r.firstseen = 1700000000000;
  r.lastseen = 1700000001500;
  r.srcport = 50000;
  r.dstport = 443;
  r.inif = 0;
  r.outif = 1;
  r.proto = 6;
  r.tos = 0;
  r.flags = 0x1B;
  r.bytes = 4200;
  r.pkts = 12;
  r.replydelay = 35;
  r.owner = makeOwner("C:/Tools/client.exe", "alice", "HOST1");
  return r;
}

// The datagram that carries sampleTcpRecord() alone: 81 bytes.
inline const std::vector<uint8_t> kSampleDatagram = {
    0x00, 0x02,                                      // version 2
    0x00, 0x01,                                      // one record
    0xc0, 0xa8, 0x01, 0x0a,                          // srcip
    0xcb, 0x00, 0x71, 0x05,                          // dstip
    0x00, 0x00, 0x01, 0x8b, 0xcf, 0xe5, 0x68, 0x00,  // firstseen
    0x00, 0x00, 0x01, 0x8b, 0xcf, 0xe5, 0x6d, 0xdc,  // lastseen
    0xc3, 0x50,                                      // srcport
    0x01, 0xbb,                                      // dstport
    0x00, 0x00,                                      // inif
    0x00, 0x01,                                      // outif
    0x06,                                            // proto
    0x00,                                            // tos
    0x1b,                                            // flags
    0x00, 0x00, 0x10, 0x68,                          // bytes
    0x00, 0x00, 0x00, 0x0c,                          // pkts
    0x00, 0x23,                                      // replydelay
    0x05, 'H', 'O', 'S', 'T', '1',                   // domain
    0x05, 'a', 'l', 'i', 'c', 'e',                   // user
    0x13, 'C', ':', '/', 'T', 'o', 'o', 'l', 's', '/', 'c', 'l', 'i', 'e', 'n', 't', '.', 'e', 'x', 'e',
};

// An ICMP-like record whose wire length is `wireLength` (48 to 813): the
// bytes beyond 48 go into processname, user and domain in turn, at most 255
// each. `tag` becomes srcip, to tell records apart.
inline FlowRecord recordOfLength(size_t wireLength, uint32_t tag = 0) {
  FlowRecord r;
  r.srcip = tag;
  r.proto = 1;
  size_t left = wireLength - 48;
  std::string parts[3];
  for (std::string& part : parts) {
    size_t n = left < 255 ? left : 255;
    part.assign(n, 'x');
    left -= n;
  }
  r.owner = makeOwner(parts[0], parts[1], parts[2]);
  return r;
}

inline FlowEntry sampleTcpEntry6() {
  FlowEntry e = sampleTcpRecord();
  e.family = 6;
  e.srcip = e.dstip = 0;
  const uint8_t src[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  const uint8_t dst[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
  e.srcip6 = Ip6Address::fromBytes(src);
  e.dstip6 = Ip6Address::fromBytes(dst);
  e.flowlabel = 0x12345;
  return e;
}
