// The export datagram's wire format: a 4-byte header (version, record count)
// and variable-length flow records, every integer in network byte order.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flow/flow_record.h"

inline constexpr uint16_t kExportVersion = 2;
inline constexpr size_t kMaxDatagramBytes = 1400;    // header included
inline constexpr size_t kDatagramHeaderBytes = 4;    // version, record count
inline constexpr size_t kRecordFixedBytes = 48;      // 45 bytes of fields, 3 length bytes
inline constexpr size_t kMaxRecordStringBytes = 255;  // the most a length byte can state

// Big-endian writes of `value` at `at`; no alignment needed.
inline void putU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
inline void putU32(uint8_t* at, uint32_t value) {
  putU16(at, static_cast<uint16_t>(value >> 16));
  putU16(at + 2, static_cast<uint16_t>(value));
}
inline void putU64(uint8_t* at, uint64_t value) {
  putU32(at, static_cast<uint32_t>(value >> 32));
  putU32(at + 4, static_cast<uint32_t>(value));
}

// Big-endian reads; the caller has checked that the bytes are there.
inline uint16_t getU16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }
inline uint32_t getU32(const uint8_t* at) {
  return (static_cast<uint32_t>(getU16(at)) << 16) | getU16(at + 2);
}
inline uint64_t getU64(const uint8_t* at) {
  return (static_cast<uint64_t>(getU32(at)) << 32) | getU32(at + 4);
}

// Bytes `record` takes on the wire: 48 plus its three strings, each cut to
// 255 bytes. At most 48 + 3 * 255 = 813, so a datagram always has room for one.
uint16_t recordLength(const FlowRecord& record);

// Writes `record` into `buffer` from `offset` (4 for a datagram's first
// record) and returns its length, recordLength(record). The caller has made
// sure offset + length <= kMaxDatagramBytes; the header is not touched. A
// string longer than 255 bytes is cut to its first 255, so every length byte
// equals the bytes written after it.
uint16_t serializeRecord(const FlowRecord& record, int16_t offset, uint8_t* buffer);
