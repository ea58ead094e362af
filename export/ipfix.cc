#include "export/ipfix.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "export/serialize.h"

namespace {

constexpr uint8_t kIcmp = 1;
constexpr uint8_t kIcmp6 = 58;

struct RecordString {
  std::string_view text;
  size_t max;
};
// RFC 7011 §7: one length byte below 255, else 255 and a 16-bit length.
size_t lengthPrefixBytes(size_t length) { return length < 255 ? 1 : 3; }

// The record's strings in template order, each with the most bytes written.
// The account and domain keep their 255 bytes unless the strings would then
// not fit one datagram.
std::array<RecordString, kIpfixRecordStrings> recordStrings(const FlowRecord& r) {
  std::array<RecordString, kIpfixRecordStrings> s = {
      RecordString{r.processname(), kMaxRecordStringBytes},   RecordString{r.user(), kMaxRecordStringBytes},
      RecordString{r.domain(), kMaxRecordStringBytes},        RecordString{r.peername(), kMaxRecordStringBytes},
      RecordString{r.namesource(), kIpfixNameSourceMaxBytes}, RecordString{r.service(), kMaxRecordStringBytes},
      RecordString{r.container(), kIpfixContainerMaxBytes}};
  size_t bytes = 0;
  for (const RecordString& one : s) {
    const size_t n = std::min(one.text.size(), one.max);
    bytes += lengthPrefixBytes(n) + n;
  }
  if (bytes > kIpfixRecordMaxBytes - kIpfixRecordFixedBytes + kIpfixRecordStrings) {
    s[1].max = kIpfixAccountMaxBytes;
    s[2].max = kIpfixAccountMaxBytes;
  }
  return s;
}

// The string's length prefix and at most `max` of its bytes; returns the
// bytes written.
size_t putIpfixString(uint8_t* at, const RecordString& s) {
  const std::string_view text = s.text;
  const size_t length = std::min(text.size(), s.max);
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

namespace {

template <size_t N>
size_t writeTemplateSet(uint8_t* at, uint16_t id, const IpfixField (&fields)[N]) {
  putU16(at + 4, id);
  putU16(at + 6, static_cast<uint16_t>(N));
  uint8_t* p = at + 8;
  for (const IpfixField& field : fields) {
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
  const size_t length = static_cast<size_t>(p - at);
  putIpfixSetHeader(at, kIpfixTemplateSetId, static_cast<uint16_t>(length));
  return length;
}

}  // namespace

size_t writeIpfixTemplateSet(uint8_t* at) { return writeTemplateSet(at, kIpfixTemplateId, kIpfixFields); }
size_t writeIpfixTemplateSet6(uint8_t* at) { return writeTemplateSet(at, kIpfixTemplateId6, kIpfixFields6); }

uint16_t ipfixRecordLength(const FlowRecord& record) {
  size_t length = kIpfixRecordFixedBytes - kIpfixRecordStrings;
  for (const RecordString& s : recordStrings(record)) {
    const size_t n = std::min(s.text.size(), s.max);
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
  putU64(at + 18, record.bytes);
  putU64(at + 26, record.pkts);
  putU64(at + 34, record.firstseen);
  putU64(at + 42, record.lastseen);
  at[50] = record.outif != 0 ? kIpfixOutbound : kIpfixInbound;
  putU16(at + 51, record.replydelay);
  uint8_t* p = at + 53;
  for (const RecordString& s : recordStrings(record)) p += putIpfixString(p, s);
  return static_cast<uint16_t>(p - at);
}

uint16_t ipfixRecordLength6(const FlowEntry& entry) {
  return static_cast<uint16_t>(ipfixRecordLength(entry) + (kIpfixRecordFixedBytes6 - kIpfixRecordFixedBytes));
}

uint16_t writeIpfixRecord6(const FlowEntry& entry, uint8_t* at) {
  const bool icmp = entry.proto == kIcmp6;
  memcpy(at + 0, entry.srcip6.bytes, 16);
  memcpy(at + 16, entry.dstip6.bytes, 16);
  putU16(at + 32, icmp ? 0 : entry.srcport);
  putU16(at + 34, icmp ? 0 : entry.dstport);
  putU16(at + 36, icmp ? static_cast<uint16_t>((entry.srcport << 8) | (entry.dstport & 0xFF)) : 0);
  at[38] = entry.proto;
  at[39] = entry.tos;
  putU16(at + 40, entry.flags);
  putU64(at + 42, entry.bytes);
  putU64(at + 50, entry.pkts);
  putU64(at + 58, entry.firstseen);
  putU64(at + 66, entry.lastseen);
  at[74] = entry.outif != 0 ? kIpfixOutbound : kIpfixInbound;
  putU32(at + 75, entry.flowlabel);
  putU16(at + 79, entry.replydelay);
  uint8_t* p = at + 81;
  for (const RecordString& s : recordStrings(entry)) p += putIpfixString(p, s);
  return static_cast<uint16_t>(p - at);
}
