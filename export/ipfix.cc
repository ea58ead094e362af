#include "export/ipfix.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "export/serialize.h"

namespace {

constexpr uint8_t kIcmp = 1;

size_t wireStringLength(const std::string& text) { return std::min(text.size(), kMaxRecordStringBytes); }

// RFC 7011 §7: one length byte below 255, else 255 and a 16-bit length.
size_t lengthPrefixBytes(size_t length) { return length < 255 ? 1 : 3; }

// The string's length prefix and bytes; returns the bytes written.
size_t putIpfixString(uint8_t* at, const std::string& text) {
  const size_t length = wireStringLength(text);
  size_t prefix = 1;
  if (length < 255) {
    at[0] = static_cast<uint8_t>(length);
  } else {
    at[0] = 255;
    putU16(at + 1, static_cast<uint16_t>(length));
    prefix = 3;
  }
  if (length > 0) memcpy(at + prefix, text.data(), length);
  return prefix + length;
}

}  // namespace

void putIpfixHeader(uint8_t* at, uint16_t length, uint32_t exportSeconds, uint32_t sequence) {
  putU16(at + 0, kIpfixVersion);
  putU16(at + 2, length);
  putU32(at + 4, exportSeconds);
  putU32(at + 8, sequence);
  putU32(at + 12, kIpfixObservationDomain);
}

void putIpfixSetHeader(uint8_t* at, uint16_t setId, uint16_t length) {
  putU16(at, setId);
  putU16(at + 2, length);
}

size_t writeIpfixTemplateSet(uint8_t* at) {
  putIpfixSetHeader(at, kIpfixTemplateSetId, static_cast<uint16_t>(kIpfixTemplateSetBytes));
  putU16(at + 4, kIpfixTemplateId);
  putU16(at + 6, static_cast<uint16_t>(std::size(kIpfixFields)));
  uint8_t* p = at + 8;
  for (const IpfixField& field : kIpfixFields) {
    if (field.enterprise == 0) {
      putU16(p, field.id);
      putU16(p + 2, field.length);
      p += 4;
    } else {
      putU16(p, field.id | kIpfixEnterpriseBit);
      putU16(p + 2, field.length);
      putU32(p + 4, field.enterprise);
      p += 8;
    }
  }
  return static_cast<size_t>(p - at);
}

uint16_t ipfixRecordLength(const FlowRecord& record) {
  size_t length = kIpfixRecordFixedBytes - 3;
  for (const std::string* text : {&record.processname(), &record.user(), &record.domain()}) {
    const size_t n = wireStringLength(*text);
    length += lengthPrefixBytes(n) + n;
  }
  return static_cast<uint16_t>(length);
}

uint16_t writeIpfixRecord(const FlowRecord& record, uint8_t* at) {
  const bool icmp = record.proto == kIcmp;
  putU32(at + 0, record.srcip);
  putU32(at + 4, record.dstip);
  putU16(at + 8, icmp ? 0 : record.srcport);
  putU16(at + 10, icmp ? 0 : record.dstport);
  // An ICMP flow holds its type in srcport and its code in dstport.
  putU16(at + 12, icmp ? static_cast<uint16_t>((record.srcport << 8) | (record.dstport & 0xFF)) : 0);
  at[14] = record.proto;
  at[15] = record.tos;
  putU16(at + 16, record.flags);
  putU64(at + 18, static_cast<uint32_t>(record.bytes));
  putU64(at + 26, static_cast<uint32_t>(record.pkts));
  putU64(at + 34, record.firstseen);
  putU64(at + 42, record.lastseen);
  at[50] = record.outif != 0 ? kIpfixOutbound : kIpfixInbound;
  putU16(at + 51, record.replydelay);
  uint8_t* p = at + 53;
  p += putIpfixString(p, record.processname());
  p += putIpfixString(p, record.user());
  p += putIpfixString(p, record.domain());
  return static_cast<uint16_t>(p - at);
}
