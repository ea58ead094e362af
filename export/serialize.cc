#include "export/serialize.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

size_t wireStringLength(const std::string& text) { return std::min(text.size(), kMaxRecordStringBytes); }

// One length byte and up to 255 bytes of `text`; returns the bytes written.
size_t putString(uint8_t* at, const std::string& text) {
  const size_t length = wireStringLength(text);
  at[0] = static_cast<uint8_t>(length);
  if (length > 0) memcpy(at + 1, text.data(), length);
  return 1 + length;
}

}  // namespace

uint16_t recordLength(const FlowRecord& record) {
  return static_cast<uint16_t>(kRecordFixedBytes + wireStringLength(record.domain()) +
                               wireStringLength(record.user()) + wireStringLength(record.processname()));
}

uint16_t serializeRecord(const FlowRecord& record, int16_t offset, uint8_t* buffer) {
  uint8_t* const start = buffer + offset;
  putU32(start + 0, record.srcip);
  putU32(start + 4, record.dstip);
  putU64(start + 8, record.firstseen);
  putU64(start + 16, record.lastseen);
  putU16(start + 24, record.srcport);
  putU16(start + 26, record.dstport);
  putU16(start + 28, record.inif);
  putU16(start + 30, record.outif);
  start[32] = record.proto;
  start[33] = record.tos;
  start[34] = record.flags;
  putU32(start + 35, static_cast<uint32_t>(record.bytes));
  putU32(start + 39, static_cast<uint32_t>(record.pkts));
  putU16(start + 43, record.replydelay);
  uint8_t* at = start + 45;
  at += putString(at, record.domain());
  at += putString(at, record.user());
  at += putString(at, record.processname());
  return static_cast<uint16_t>(at - start);
}
