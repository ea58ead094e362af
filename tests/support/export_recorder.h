// For the export unit tests: a datagram builder whose messages are kept
// instead of sent, and a record's fields as one comparable value.
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "export/datagram_builder.h"

// A builder in `format` whose send keeps every message and reports `reply`
// bytes sent, or the whole message while `reply` is -2.
struct Recorder {
  explicit Recorder(ExportFormat format = ExportFormat::native)
      : builder([this](const uint8_t* data, size_t size) {
          sent.emplace_back(data, data + size);
          return reply == -2 ? static_cast<int64_t>(size) : reply;
        }, format) {}
  Recorder(const Recorder&) = delete;
  // Adds `records` at time 0 and sends the last message.
  Recorder& send(const std::vector<FlowRecord>& records) {
    for (const FlowRecord& r : records) builder.add(r, 0);
    builder.sendPending();
    return *this;
  }
  std::vector<std::vector<uint8_t>> sent;
  int64_t reply = -2;
  DatagramBuilder builder;
};

// Every field of a record, strings included, for comparing records whole.
inline auto fields(const FlowRecord& r) {
  return std::tuple(r.srcip, r.dstip, r.firstseen, r.lastseen, r.srcport, r.dstport, r.inif, r.outif, r.proto,
                    r.tos, r.flags, r.bytes, r.pkts, r.replydelay, r.processname(), r.user(), r.domain());
}
