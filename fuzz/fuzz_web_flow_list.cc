// The flow list written piece by piece against JsonCpp's text of the whole
// document: the bytes make the flows (fixed fields, for an odd family byte
// two IPv6 addresses, then three strings ended by NUL) and the sizes of the
// pieces read; any difference traps.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "web/data_document.h"
#include "web/flow_list_text.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint64_t take(size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  }
  std::string text() {
    std::string s;
    while (at < size && data[at] != 0) s += static_cast<char>(data[at++]);
    ++at;
    return s;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint64_t now = in.take(8);
  std::vector<FlowEntry> flows;
  while (in.at < in.size && flows.size() < 5000) {
    FlowRecord r = makeFlowRecord(static_cast<uint16_t>(in.take(1)), static_cast<uint16_t>(in.take(1)),
                                  static_cast<uint8_t>(in.take(1)), static_cast<uint32_t>(in.take(4)),
                                  static_cast<uint32_t>(in.take(4)), static_cast<uint16_t>(in.take(2)),
                                  static_cast<uint16_t>(in.take(2)), 0, static_cast<uint8_t>(in.take(1)),
                                  static_cast<uint8_t>(in.take(1)), in.take(8), nullptr);
    r.pkts = static_cast<int32_t>(in.take(4));
    r.bytes = static_cast<int32_t>(in.take(4));
    r.lastseen = in.take(2) + r.firstseen;
    FlowEntry e(std::move(r));
    if (in.take(1) & 1) {
      e.family = 6;
      e.srcip = e.dstip = 0;
      for (uint8_t& b : e.srcip6.bytes) b = static_cast<uint8_t>(in.take(1));
      for (uint8_t& b : e.dstip6.bytes) b = static_cast<uint8_t>(in.take(1));
    }
    std::string processname = in.text(), user = in.text(), domain = in.text();
    e.owner = makeOwner(std::move(processname), std::move(user), std::move(domain));
    flows.push_back(std::move(e));
  }
  Json::Value doc(Json::objectValue);
  doc["flowCache"] = Json::UInt64(flows.size());
  doc["totalFlows"] = Json::UInt64(flows.size());
  Json::Value whole = doc;
  if (!flows.empty()) {
    Json::Value& list = whole["flows"] = Json::Value(Json::arrayValue);
    for (const FlowEntry& r : flows) list.append(flowToJson(r, now));
  }
  const std::string want = dataDocumentText(whole);
  const auto text = startFlowListText(doc, flows, now);
  std::string got;
  char piece[4096];
  for (size_t n, step = 1; (n = readFlowListText(*text, piece, step)) != 0; step = step % 4096 + 977) got.append(piece, n);
  if (got != want) __builtin_trap();
  return 0;
}
