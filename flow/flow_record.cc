#include "flow/flow_record.h"

namespace {
const std::string& emptyString() {
  static const std::string empty;
  return empty;
}
}  // namespace

const std::string& FlowRecord::processname() const { return owner ? owner->processname : emptyString(); }
const std::string& FlowRecord::user() const { return owner ? owner->user : emptyString(); }
const std::string& FlowRecord::domain() const { return owner ? owner->domain : emptyString(); }
const std::string& FlowRecord::service() const { return owner ? owner->service : emptyString(); }
const std::string& FlowRecord::container() const { return owner ? owner->container : emptyString(); }

FlowRecord makeFlowRecord(uint16_t inif, uint16_t outif, uint8_t proto, uint32_t srcip, uint32_t dstip,
                          uint16_t srcport, uint16_t dstport, uint32_t totalLength, uint8_t flags,
                          uint8_t tos, uint64_t now, OwnerRef owner) {
  FlowRecord r;
  r.pkts = 1;
  r.bytes = totalLength;
  r.srcip = srcip;
  r.dstip = dstip;
  r.srcport = srcport;
  r.dstport = dstport;
  r.inif = static_cast<uint8_t>(inif);
  r.outif = static_cast<uint8_t>(outif);
  r.flags = flags;
  r.tos = tos;
  r.proto = proto;
  r.firstseen = now;
  r.lastseen = now;
  r.owner = std::move(owner);
  return r;
}

FlowEntry makeFlowEntry6(uint16_t inif, uint16_t outif, uint8_t proto, const Ip6Address& srcip,
                         const Ip6Address& dstip, uint16_t srcport, uint16_t dstport, uint32_t length,
                         uint8_t flags, uint8_t tos, uint32_t flowlabel, uint64_t now, OwnerRef owner) {
  FlowEntry e = makeFlowRecord(inif, outif, proto, 0, 0, srcport, dstport, length, flags, tos, now, std::move(owner));
  e.family = 6;
  e.srcip6 = srcip;
  e.dstip6 = dstip;
  e.flowlabel = flowlabel;
  return e;
}
