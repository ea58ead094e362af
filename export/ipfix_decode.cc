#include "export/ipfix_decode.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "export/serialize.h"

namespace {

using std::to_string;

constexpr uint8_t kIcmp = 1;
constexpr uint8_t kIcmp6 = 58;

// Templates met in the message so far; nullopt marks a withdrawal. They
// reach the caller's table only when the whole message is sound.
using StagedTemplates = std::map<uint16_t, std::optional<IpfixTemplate>>;

// An unsigned element of any size from 1 to 8 bytes (RFC 7011 §6.2
// reduced-size encoding); false for other sizes.
bool readUnsigned(const uint8_t* at, size_t length, uint64_t& value) {
  if (length == 0 || length > 8) return false;
  value = 0;
  for (size_t i = 0; i < length; ++i) value = (value << 8) | at[i];
  return true;
}

// What one record holds beyond the FlowRecord fields.
struct RecordExtras {
  bool icmpTypeCode = false;
  uint16_t icmpTypeCodeValue = 0;
};

void setStandardField(uint16_t id, const uint8_t* at, size_t length, FlowEntry& rec, RecordExtras& extras) {
  uint64_t v = 0;
  if (id == kIeSourceIPv6Address || id == kIeDestinationIPv6Address) {
    if (length != 16) return;
    memcpy((id == kIeSourceIPv6Address ? rec.srcip6 : rec.dstip6).bytes, at, 16);
    rec.family = 6;
    return;
  }
  if ((id == kIeSourceIPv4Address || id == kIeDestinationIPv4Address) && length != 4) return;
  if (!readUnsigned(at, length, v)) return;
  switch (id) {
    case kIeSourceIPv4Address: rec.srcip = static_cast<uint32_t>(v); break;
    case kIeDestinationIPv4Address: rec.dstip = static_cast<uint32_t>(v); break;
    case kIeSourceTransportPort: rec.srcport = static_cast<uint16_t>(v); break;
    case kIeDestinationTransportPort: rec.dstport = static_cast<uint16_t>(v); break;
    case kIeIcmpTypeCodeIPv4:
    case kIeIcmpTypeCodeIPv6:
      extras.icmpTypeCode = true;
      extras.icmpTypeCodeValue = static_cast<uint16_t>(v);
      break;
    case kIeFlowLabelIPv6: rec.flowlabel = static_cast<uint32_t>(v) & 0xFFFFF; break;
    case kIeProtocolIdentifier: rec.proto = static_cast<uint8_t>(v); break;
    case kIeIpDiffServCodePoint: rec.tos = static_cast<uint8_t>(v); break;
    case kIeTcpControlBits: rec.flags = static_cast<uint8_t>(v); break;
    // The record's counters are 32 bits; larger counts keep their low bits.
    case kIeOctetDeltaCount: rec.bytes = static_cast<int32_t>(static_cast<uint32_t>(v)); break;
    case kIePacketDeltaCount: rec.pkts = static_cast<int32_t>(static_cast<uint32_t>(v)); break;
    case kIeFlowStartMilliseconds: rec.firstseen = v; break;
    case kIeFlowEndMilliseconds: rec.lastseen = v; break;
    case kIeFlowDirection:
      rec.inif = v == kIpfixInbound ? 1 : 0;
      rec.outif = v == kIpfixOutbound ? 1 : 0;
      break;
    default: break;
  }
}

// `texts`: processname, user, domain, peer name, name source.
void setVantrelField(uint16_t id, const uint8_t* at, size_t length, std::string texts[5], FlowRecord& rec) {
  const std::string text(reinterpret_cast<const char*>(at), length);
  uint64_t v = 0;
  switch (id) {
    case kIeVantrelProcessName: texts[0] = text; break;
    case kIeVantrelUserName: texts[1] = text; break;
    case kIeVantrelDomain: texts[2] = text; break;
    case kIeVantrelPeerName: texts[3] = text; break;
    case kIeVantrelNameSource: texts[4] = text; break;
    case kIeVantrelReplyDelay:
      if (readUnsigned(at, length, v)) rec.replydelay = static_cast<uint16_t>(v);
      break;
    default: break;
  }
}

// True when the element is one that decodeRecord stores in a flow record.
bool isFlowField(const IpfixField& field) {
  if (field.enterprise == kVantrelEnterpriseNumber) return field.id >= kIeVantrelProcessName && field.id <= kIeVantrelNameSource;
  if (field.enterprise != 0) return false;
  switch (field.id) {
    case kIeSourceIPv4Address: case kIeDestinationIPv4Address: case kIeSourceTransportPort:
    case kIeDestinationTransportPort: case kIeIcmpTypeCodeIPv4: case kIeProtocolIdentifier:
    case kIeIpDiffServCodePoint: case kIeTcpControlBits: case kIeOctetDeltaCount: case kIePacketDeltaCount:
    case kIeFlowStartMilliseconds: case kIeFlowEndMilliseconds: case kIeFlowDirection:
    case kIeSourceIPv6Address: case kIeDestinationIPv6Address: case kIeFlowLabelIPv6: case kIeIcmpTypeCodeIPv6:
      return true;
    default: return false;
  }
}

// Stamps for the eviction order: every table takes them from one counter.
uint64_t nextUse() {
  static std::atomic<uint64_t> clock{0};
  return ++clock;
}

// Makes room for one more template of `exporter`: at the exporter's bound
// its least recently used template goes, else at the table's bound the
// table's least recently used one.
void makeRoom(IpfixTemplates& templates, uint32_t exporter) {
  auto oldest = templates.end();
  size_t ofExporter = 0;
  for (auto it = templates.lower_bound({exporter, 0, 0}); it != templates.end() && it->first.exporter == exporter;
       ++it, ++ofExporter) {
    if (oldest == templates.end() || it->second.lastUse < oldest->second.lastUse) oldest = it;
  }
  if (ofExporter < kMaxIpfixTemplatesPerExporter) {
    if (templates.size() < kMaxIpfixTemplates) return;
    oldest = std::min_element(templates.begin(), templates.end(), [](const auto& a, const auto& b) {
      return a.second.lastUse < b.second.lastUse;
    });
  }
  templates.erase(oldest);
}

// Reads one data record of `tmpl` from data[at, end); false when a field runs
// past `end`. `at` moves past the record.
bool decodeRecord(const uint8_t* data, size_t& at, size_t end, const IpfixTemplate& tmpl, FlowEntry& rec) {
  rec = FlowEntry();
  rec.pkts = 0;
  RecordExtras extras;
  std::string owner[5];  // processname, user, domain, peer name, name source
  for (const IpfixField& field : tmpl.fields) {
    size_t length = field.length;
    if (length == kIpfixVariableLength) {
      if (at >= end) return false;
      length = data[at++];
      if (length == 255) {
        if (end - at < 2) return false;
        length = getU16(data + at);
        at += 2;
      }
    }
    if (end - at < length) return false;
    if (field.enterprise == 0) {
      setStandardField(field.id, data + at, length, rec, extras);
    } else if (field.enterprise == kVantrelEnterpriseNumber) {
      setVantrelField(field.id, data + at, length, owner, rec);
    }
    at += length;
  }
  // A record with IPv6 ends is an IPv6 flow: its IPv4 fields, if any, go;
  // an IPv4 record keeps no flow label.
  if (rec.ipv6()) {
    rec.srcip = rec.dstip = 0;
  } else {
    rec.flowlabel = 0;
  }
  if ((rec.proto == kIcmp || rec.proto == kIcmp6) && extras.icmpTypeCode) {
    rec.srcport = extras.icmpTypeCodeValue >> 8;
    rec.dstport = extras.icmpTypeCodeValue & 0xFF;
  }
  rec.owner = makeOwner(std::move(owner[0]), std::move(owner[1]), std::move(owner[2]));
  rec.peer = PeerName::make(owner[3], nameSourceByText(owner[4]));
  return true;
}

// Reads the template records of the set data[at, end) into `staged`. A
// template without a flow field is staged as a withdrawal and listed in
// `refused`: its data sets would give empty records.
bool readTemplateSet(const uint8_t* data, size_t at, size_t end, StagedTemplates& staged,
                     std::vector<uint16_t>& refused, std::string& error) {
  // Fewer than 4 bytes left cannot hold a template record header: padding.
  while (end - at >= 4) {
    const size_t recordAt = at;
    const uint16_t id = getU16(data + at);
    const uint16_t fieldCount = getU16(data + at + 2);
    at += 4;
    if (id < kIpfixMinDataSetId) {
      error = "template record at offset " + to_string(recordAt) + " has id " + to_string(id) + ", below 256";
      return false;
    }
    if (fieldCount == 0) {
      staged[id] = std::nullopt;
      continue;
    }
    IpfixTemplate tmpl;
    tmpl.fields.reserve(fieldCount);
    for (uint16_t i = 0; i < fieldCount; ++i) {
      if (end - at < 4) {
        error = "template " + to_string(id) + " at offset " + to_string(recordAt) + ": field " + to_string(i + 1) +
                " of " + to_string(fieldCount) + " runs past the end of its set";
        return false;
      }
      IpfixField field{static_cast<uint16_t>(getU16(data + at) & ~kIpfixEnterpriseBit), getU16(data + at + 2), 0};
      const bool enterprise = (getU16(data + at) & kIpfixEnterpriseBit) != 0;
      at += 4;
      if (enterprise) {
        if (end - at < 4) {
          error = "template " + to_string(id) + " at offset " + to_string(recordAt) + ": enterprise number of field " +
                  to_string(i + 1) + " runs past the end of its set";
          return false;
        }
        field.enterprise = getU32(data + at);
        at += 4;
      }
      tmpl.minRecordBytes += field.length == kIpfixVariableLength ? 1 : field.length;
      tmpl.fields.push_back(field);
    }
    if (std::none_of(tmpl.fields.begin(), tmpl.fields.end(), isFlowField)) {
      staged[id] = std::nullopt;
      if (std::find(refused.begin(), refused.end(), id) == refused.end()) refused.push_back(id);
    } else {
      staged[id] = std::move(tmpl);
    }
  }
  return true;
}

const IpfixTemplate* findTemplate(const StagedTemplates& staged, const IpfixTemplates& templates,
                                  const IpfixTemplateKey& key) {
  if (auto it = staged.find(key.id); it != staged.end()) return it->second ? &*it->second : nullptr;
  auto it = templates.find(key);
  return it == templates.end() ? nullptr : &it->second;
}

}  // namespace

bool decodeIpfixMessage(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                        IpfixMessage& out, std::string& error) {
  out = IpfixMessage();
  auto fail = [&](std::string text) {
    out = IpfixMessage();
    error = std::move(text);
    return false;
  };
  if (size < kIpfixHeaderBytes) {
    return fail("IPFIX message of " + to_string(size) + " bytes is shorter than the 16-byte header");
  }
  const uint16_t version = getU16(data);
  if (version != kIpfixVersion) return fail("version " + to_string(version) + ", expected 10");
  const uint16_t length = getU16(data + 2);
  if (length != size) {
    return fail("IPFIX length field says " + to_string(length) + " bytes, the datagram has " + to_string(size));
  }
  out.sequence = getU32(data + 8);
  out.domain = getU32(data + 12);

  StagedTemplates staged;
  std::vector<uint16_t> used;  // ids of learned templates the message used
  size_t at = kIpfixHeaderBytes;
  while (at < size) {
    if (size - at < kIpfixSetHeaderBytes) {
      return fail("set header at offset " + to_string(at) + " runs past the end of the " + to_string(size) +
                  "-byte message");
    }
    const uint16_t setId = getU16(data + at);
    const uint16_t setLength = getU16(data + at + 2);
    if (setLength < kIpfixSetHeaderBytes || setLength > size - at) {
      return fail("set " + to_string(setId) + " at offset " + to_string(at) + " has length " + to_string(setLength) +
                  ", " + to_string(size - at) + " bytes left");
    }
    const size_t body = at + kIpfixSetHeaderBytes;
    const size_t end = at + setLength;
    if (setId == kIpfixTemplateSetId) {
      if (!readTemplateSet(data, body, end, staged, out.refusedTemplates, error)) return fail(error);
    } else if (setId >= kIpfixMinDataSetId) {
      const IpfixTemplate* tmpl = findTemplate(staged, templates, IpfixTemplateKey{exporter, out.domain, setId});
      if (tmpl == nullptr) {
        if (std::find(out.unknownTemplates.begin(), out.unknownTemplates.end(), setId) == out.unknownTemplates.end()) {
          out.unknownTemplates.push_back(setId);
        }
      } else if (tmpl->minRecordBytes > 0) {  // records of no bytes would never end
        if (staged.count(setId) == 0) used.push_back(setId);
        size_t p = body;
        for (size_t n = 1; end - p >= tmpl->minRecordBytes; ++n) {
          FlowEntry rec;
          if (!decodeRecord(data, p, end, *tmpl, rec)) {
            return fail("data set of template " + to_string(setId) + " at offset " + to_string(at) + ": record " +
                        to_string(n) + " runs past the end of its set");
          }
          out.records.push_back(std::move(rec));
        }
      }
    }
    // Options template sets (3) and reserved ids are skipped.
    at = end;
  }

  for (uint16_t id : used) {
    if (auto it = templates.find({exporter, out.domain, id}); it != templates.end()) it->second.lastUse = nextUse();
  }
  for (auto& [id, tmpl] : staged) {
    const IpfixTemplateKey key{exporter, out.domain, id};
    if (!tmpl) {
      templates.erase(key);
      continue;
    }
    if (templates.count(key) == 0) makeRoom(templates, exporter);
    tmpl->lastUse = nextUse();
    templates[key] = std::move(*tmpl);
  }
  return true;
}
