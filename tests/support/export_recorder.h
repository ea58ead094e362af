// For the export unit tests: a datagram builder whose messages are kept
// instead of sent, and a record's fields as one comparable value.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>
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
  Recorder& send(const std::vector<FlowEntry>& records) {
    for (const FlowEntry& r : records) builder.add(r, 0);
    builder.sendPending();
    return *this;
  }
  // IPv4 records as the older tests hold them.
  template <typename R, typename = std::enable_if_t<std::is_same_v<R, FlowRecord>>>
  Recorder& send(const std::vector<R>& records) {
    return send(std::vector<FlowEntry>(records.begin(), records.end()));
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
