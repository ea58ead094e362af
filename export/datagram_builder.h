// Fills export datagrams with records and hands each finished datagram to a
// send function: the export loop's datagram rules apart from its socket.
// The same rules serve both wire formats; a small table of functions per
// format writes the headers and records. One builder belongs to one export
// run, on the export thread.
#pragma once

#include <cstdint>
#include <functional>

#include "export/export_format.h"
#include "export/serialize.h"
#include "flow/flow_record.h"

// Sends one datagram; returns the byte count the send reports, -1 when it
// failed.
using DatagramSendFn = std::function<int64_t(const uint8_t* data, size_t size)>;

// A partly filled datagram whose first record went in this long ago is sent
// at the end of a pass.
inline constexpr uint64_t kExportFlushMillis = 1000;

// An IPFIX message begun this long or longer after the last one that carried
// the template carries it again (RFC 7011 §8.4, UDP transport).
inline constexpr uint64_t kIpfixTemplateResendMillis = 30000;

struct DatagramBuilder;

// One wire format as the builder drives it.
struct MessageFormat {
  uint16_t emptyFill;  // bytes in use while the buffer holds no record
  // Starts a message whose first record arrives at `nowMillis`: writes what
  // goes before the records, returns the fill position of the first record.
  uint16_t (*begin)(DatagramBuilder& builder, uint64_t nowMillis);
  // Bytes `record` adds to the message (with the set or template it opens).
  uint16_t (*recordLength)(const DatagramBuilder& builder, const FlowEntry& record, uint64_t nowMillis);
  // Writes `record` at buffer + fill; returns the bytes it added.
  uint16_t (*writeRecord)(DatagramBuilder& builder, const FlowEntry& record, uint64_t nowMillis);
  // Completes the header fields that depend on the content, just before a send.
  void (*finish)(DatagramBuilder& builder);
  // After a send of `builder.count` records; `whole` when the send reported
  // every byte.
  void (*afterSend)(DatagramBuilder& builder, bool whole);
};

// One of the two templates over an IPFIX run.
struct IpfixTemplateState {
  bool sent = false;       // a message with the template has left this run
  uint64_t at = 0;         // when the last message with it began
  bool inMessage = false;  // the message in the buffer carries it
};

// What an IPFIX run carries from one message to the next. A message holds
// one data set after another, a new one whenever the family changes; each
// family's template goes before its first data set when it is due.
struct IpfixRunState {
  uint32_t recordsSent = 0;       // data records handed to the socket this run, mod 2^32
  IpfixTemplateState templates[2];  // [0] IPv4, [1] IPv6
  uint16_t dataSetAt = 0;         // offset of the open data set's header in the buffer
  uint16_t dataSetId = 0;         // its template id; 0: no data set open
};

struct DatagramBuilder {
  // Writes the version into the header; the datagram starts empty. Native
  // format.
  explicit DatagramBuilder(DatagramSendFn sendFn);
  DatagramBuilder(DatagramSendFn sendFn, ExportFormat exportFormat);

  // Writes `record` into the datagram at time `nowMillis`. When the record
  // would take the datagram past 1400 bytes, the datagram is sent first and
  // the record begins the next one; exactly 1400 bytes stay. The native
  // format has no room for IPv6 ends: such a record is left out and counted
  // in exportsSkippedIPv6.
  void add(const FlowEntry& record, uint64_t nowMillis);

  // Sends the datagram when it holds records and its first record went in
  // kExportFlushMillis or more before `nowMillis`. True when it sent.
  bool sendIfStale(uint64_t nowMillis);

  // Sends the datagram when it holds records. True when it sent.
  bool sendPending();

  const MessageFormat* format;
  uint8_t buffer[kMaxDatagramBytes];
  uint16_t fill;                         // bytes in use, header included
  uint16_t count = 0;                    // records in the buffer
  uint64_t firstRecordAt = 0;            // when the first record went in
  DatagramSendFn send;
  IpfixRunState ipfix;
  // The wall clock for the IPFIX export time; tests set their own.
  uint64_t (*wallClockMillis)();

 private:
  // Writes the header fields, sends, counts the datagram in exportsSent
  // whatever the send reported, and empties the buffer.
  void sendNow();
};
