// Fills export datagrams with records and hands each finished datagram to a
// send function: the export loop's datagram rules apart from its socket.
// One builder belongs to one export run, on the export thread.
#pragma once

#include <cstdint>
#include <functional>

#include "export/serialize.h"
#include "flow/flow_record.h"

// Sends one datagram; returns the byte count the send reports, -1 when it
// failed.
using DatagramSendFn = std::function<int64_t(const uint8_t* data, size_t size)>;

// A partly filled datagram whose first record went in this long ago is sent
// at the end of a pass.
inline constexpr uint64_t kExportFlushMillis = 1000;

struct DatagramBuilder {
  // Writes the version into the header; the datagram starts empty.
  explicit DatagramBuilder(DatagramSendFn sendFn);

  // Writes `record` into the datagram at time `nowMillis`. When the record
  // would take the datagram past 1400 bytes, the datagram is sent first and
  // the record begins the next one; exactly 1400 bytes stay.
  void add(const FlowRecord& record, uint64_t nowMillis);

  // Sends the datagram when it holds records and its first record went in
  // kExportFlushMillis or more before `nowMillis`. True when it sent.
  bool sendIfStale(uint64_t nowMillis);

  // Sends the datagram when it holds records. True when it sent.
  bool sendPending();

  uint8_t buffer[kMaxDatagramBytes];
  uint16_t fill = kDatagramHeaderBytes;  // bytes in use, header included
  uint16_t count = 0;                    // records in the buffer
  uint64_t firstRecordAt = 0;            // when the first record went in
  DatagramSendFn send;

 private:
  // Writes the record count, sends, counts the datagram in exportsSent
  // whatever the send reported, and empties the buffer.
  void sendNow();
};
