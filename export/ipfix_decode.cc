#include "export/ipfix_decode.h"

#include <algorithm>
#include <array>
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
  bool millis = false;   // flowStart/EndMilliseconds set the times
  bool seconds = false;  // flowStart/EndSeconds
  uint64_t startSeconds = 0, endSeconds = 0;
  bool upTime = false;   // flowStart/EndSysUpTime
  uint64_t startUp = 0, endUp = 0;
  std::optional<uint64_t> systemInit;
};

uint32_t lowCount(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); }

void setStandardField(uint16_t id, const uint8_t* at, size_t length, CollectedFlow& rec, RecordExtras& extras) {
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
    case kIeIpClassOfService: rec.tos = static_cast<uint8_t>(v >> 2); break;
    case kIeTcpControlBits: rec.flags = static_cast<uint8_t>(v); break;
    // The whole count in octets/packets; the record's 32-bit fields are held
    // at their largest value.
    case kIeOctetDeltaCount: rec.octets = v, rec.bytes = lowCount(v); break;
    case kIePacketDeltaCount: rec.packets = v, rec.pkts = lowCount(v); break;
    case kIeFlowStartMilliseconds: rec.firstseen = v, extras.millis = true; break;
    case kIeFlowEndMilliseconds: rec.lastseen = v, extras.millis = true; break;
    case kIeFlowStartSeconds: extras.startSeconds = v, extras.seconds = true; break;
    case kIeFlowEndSeconds: extras.endSeconds = v, extras.seconds = true; break;
    case kIeFlowStartSysUpTime: extras.startUp = v, extras.upTime = true; break;
    case kIeFlowEndSysUpTime: extras.endUp = v, extras.upTime = true; break;
    case kIeSystemInitTimeMilliseconds: extras.systemInit = v; break;
    case kIeFlowDirection:
      rec.inif = v == kIpfixInbound ? 1 : 0;
      rec.outif = v == kIpfixOutbound ? 1 : 0;
      break;
    default: break;
  }
}

// The strings of a record, in the order processname, user, domain, peer
// name, name source, service, container.
using RecordTexts = std::array<std::string, 7>;

void setVantrelField(uint16_t id, const uint8_t* at, size_t length, RecordTexts& texts, FlowRecord& rec) {
  const auto setText = [&](size_t i) {
    texts[i].assign(reinterpret_cast<const char*>(at), std::min(length, kMaxCollectedStringBytes));
  };
  uint64_t v = 0;
  switch (id) {
    case kIeVantrelProcessName: setText(0); break;
    case kIeVantrelUserName: setText(1); break;
    case kIeVantrelDomain: setText(2); break;
    case kIeVantrelPeerName: setText(3); break;
    case kIeVantrelNameSource: setText(4); break;
    case kIeVantrelService: setText(5); break;
    case kIeVantrelContainer: setText(6); break;
    case kIeVantrelReplyDelay:
      if (readUnsigned(at, length, v)) rec.replydelay = static_cast<uint16_t>(v);
      break;
    default: break;
  }
}

// The owner and peer name of the message's last record: the records of one
// message mostly share them, and taking them again costs neither an
// allocation nor the name pool's lock.
struct RecentNames {
  OwnerRef owner;
  PeerName peer;
  RecordTexts texts;  // the record being read; its buffers serve every record
};

bool ownerHolds(const OwnerRef& owner, const RecordTexts& t) {
  if (!owner) return t[0].empty() && t[1].empty() && t[2].empty() && t[5].empty() && t[6].empty();
  return owner->processname == t[0] && owner->user == t[1] && owner->domain == t[2] && owner->service == t[5] &&
         owner->container == t[6];
}

void setNames(RecentNames& recent, FlowRecord& rec) {
  RecordTexts& t = recent.texts;
  if (!ownerHolds(recent.owner, t)) recent.owner = makeOwner(t[0], t[1], t[2], t[5], t[6]);
  rec.owner = recent.owner;
  const NameSource source = nameSourceByText(t[4]);
  if (recent.peer.text() != t[3] || recent.peer.source() != source) recent.peer = PeerName::make(t[3], source);
  rec.peer = recent.peer;
}

// True when the element is one that decodeRecord stores in a flow record.
bool isFlowField(const IpfixField& field) {
  if (field.enterprise == kVantrelEnterpriseNumber) return field.id >= kIeVantrelProcessName && field.id <= kIeVantrelContainer;
  if (field.enterprise != 0) return false;
  switch (field.id) {
    case kIeSourceIPv4Address: case kIeDestinationIPv4Address: case kIeSourceTransportPort:
    case kIeDestinationTransportPort: case kIeIcmpTypeCodeIPv4: case kIeProtocolIdentifier:
    case kIeIpDiffServCodePoint: case kIeIpClassOfService: case kIeTcpControlBits: case kIeOctetDeltaCount: case kIePacketDeltaCount:
    case kIeFlowStartMilliseconds: case kIeFlowEndMilliseconds: case kIeFlowDirection:
    case kIeFlowStartSysUpTime: case kIeFlowEndSysUpTime: case kIeFlowStartSeconds: case kIeFlowEndSeconds:
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

// Where a message's uptime-relative times count from.
struct TimeBase {
  std::optional<uint64_t> systemInit;  // of the exporter and domain, when known
  uint64_t fallbackEnd = 0;            // export time, or receive time, in ms
  bool guessed = false;                // set when fallbackEnd was used
};

// Sets the record's times from whichever elements it carried.
void settleTimes(CollectedFlow& rec, const RecordExtras& extras, TimeBase& base) {
  if (extras.millis) return;
  if (extras.seconds) {
    rec.firstseen = extras.startSeconds * 1000;
    rec.lastseen = extras.endSeconds * 1000;
    return;
  }
  if (!extras.upTime) return;
  if (const std::optional<uint64_t> init = extras.systemInit ? extras.systemInit : base.systemInit) {
    rec.firstseen = *init + extras.startUp;
    rec.lastseen = *init + extras.endUp;
    return;
  }
  const uint64_t duration = extras.endUp >= extras.startUp ? extras.endUp - extras.startUp : 0;
  rec.lastseen = base.fallbackEnd;
  rec.firstseen = base.fallbackEnd - std::min(duration, base.fallbackEnd);
  base.guessed = true;
}

// Reads one data record of `tmpl` from data[at, end); false when a field runs
// past `end`. `at` moves past the record.
bool decodeRecord(const uint8_t* data, size_t& at, size_t end, const IpfixTemplate& tmpl, CollectedFlow& rec,
                  TimeBase& base, RecentNames& recent) {
  rec = CollectedFlow();
  rec.pkts = 0;
  RecordExtras extras;
  RecordTexts& owner = recent.texts;
  for (std::string& text : owner) text.clear();
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
  if (tmpl.options) {
    if (extras.systemInit) base.systemInit = extras.systemInit;
    return true;
  }
  settleTimes(rec, extras, base);
  setNames(recent, rec);
  return true;
}

// Reads the template records of the set data[at, end) into `staged`
// (options templates when `options`: their records carry a scope field
// count). A template without a flow field is staged as a withdrawal and
// listed in `refused`: its data sets would give empty records.
bool readTemplateSet(const uint8_t* data, size_t at, size_t end, bool options, bool v9, StagedTemplates& staged,
                     std::vector<uint16_t>& refused, std::string& error) {
  const size_t headerBytes = options ? 6 : 4;
  // Fewer bytes left than a template record header: padding.
  while (end - at >= headerBytes) {
    const size_t recordAt = at;
    const uint16_t id = getU16(data + at);
    // NetFlow v9 options templates give the scope's and the options' lengths
    // in bytes, 4 per field.
    const uint16_t fieldCount =
        options && v9 ? static_cast<uint16_t>((getU16(data + at + 2) + getU16(data + at + 4)) / 4) : getU16(data + at + 2);
    at += headerBytes;
    if (id < kIpfixMinDataSetId) {
      error = "template record at offset " + to_string(recordAt) + " has id " + to_string(id) + ", below 256";
      return false;
    }
    if (fieldCount == 0) {
      staged[id] = std::nullopt;
      continue;
    }
    if (fieldCount > kMaxIpfixTemplateFields) {
      error = "template " + to_string(id) + " at offset " + to_string(recordAt) + " has " + to_string(fieldCount) +
              " fields, more than " + to_string(kMaxIpfixTemplateFields);
      return false;
    }
    IpfixTemplate tmpl;
    tmpl.options = options;
    tmpl.fields.reserve(fieldCount);
    for (uint16_t i = 0; i < fieldCount; ++i) {
      if (end - at < 4) {
        error = "template " + to_string(id) + " at offset " + to_string(recordAt) + ": field " + to_string(i + 1) +
                " of " + to_string(fieldCount) + " runs past the end of its set";
        return false;
      }
      const bool enterprise = !v9 && (getU16(data + at) & kIpfixEnterpriseBit) != 0;
      IpfixField field{static_cast<uint16_t>(enterprise ? getU16(data + at) & ~kIpfixEnterpriseBit : getU16(data + at)),
                       getU16(data + at + 2), 0};
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
      if (field.length == 0) {
        error = "template " + to_string(id) + " at offset " + to_string(recordAt) + ": field " + to_string(i + 1) +
                " has length 0";
        return false;
      }
      tmpl.minRecordBytes += field.length == kIpfixVariableLength ? 1 : field.length;
      tmpl.fields.push_back(field);
    }
    if (!options && std::none_of(tmpl.fields.begin(), tmpl.fields.end(), isFlowField)) {
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

namespace {

// Empties `out` for the next message, keeping the room its records took.
void restartMessage(IpfixMessage& out) {
  std::vector<CollectedFlow> records;
  records.swap(out.records);
  records.clear();
  out = IpfixMessage();
  out.records.swap(records);
}

// What differs between IPFIX and NetFlow v9 once the header is read.
struct Dialect {
  uint16_t version;
  uint16_t templateSetId;
  uint16_t optionsTemplateSetId;
  size_t headerBytes;
};
constexpr Dialect kIpfixDialect{kIpfixVersion, kIpfixTemplateSetId, kIpfixOptionsTemplateSetId, kIpfixHeaderBytes};
constexpr Dialect kNetflow9Dialect{kNetflow9Version, 0, 1, kNetflow9HeaderBytes};

// Reads the sets after the header into `out`, learning templates into
// `templates` only when the whole message is sound.
bool decodeSets(const uint8_t* data, size_t size, const Dialect& dialect, uint32_t exporter, IpfixTemplates& templates,
                TimeBase& base, IpfixMessage& out, std::string& error) {
  auto fail = [&](std::string text) {
    restartMessage(out);
    error = std::move(text);
    return false;
  };
  const bool v9 = dialect.version == kNetflow9Version;
  RecentNames recent;
  const auto keyOf = [&](uint16_t id) { return IpfixTemplateKey{exporter, out.domain, id, dialect.version}; };
  StagedTemplates staged;
  std::vector<uint16_t> used;  // ids of learned templates the message used
  size_t at = dialect.headerBytes;
  while (at < size) {
    if (size - at < kIpfixSetHeaderBytes) {
      // NetFlow v9 may pad the packet after its last set.
      if (v9) break;
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
    if (setId == dialect.templateSetId || setId == dialect.optionsTemplateSetId) {
      if (!readTemplateSet(data, body, end, setId == dialect.optionsTemplateSetId, v9, staged, out.refusedTemplates,
                           error)) {
        return fail(error);
      }
    } else if (setId >= kIpfixMinDataSetId) {
      const IpfixTemplate* tmpl = findTemplate(staged, templates, keyOf(setId));
      if (tmpl == nullptr) {
        if (std::find(out.unknownTemplates.begin(), out.unknownTemplates.end(), setId) == out.unknownTemplates.end()) {
          out.unknownTemplates.push_back(setId);
        }
      } else if (tmpl->minRecordBytes > 0) {  // records of no bytes would never end
        if (staged.count(setId) == 0) used.push_back(setId);
        size_t p = body;
        CollectedFlow optionsRecord;
        for (size_t n = 1; end - p >= tmpl->minRecordBytes; ++n) {
          CollectedFlow& rec = tmpl->options ? optionsRecord : out.records.emplace_back();
          if (!decodeRecord(data, p, end, *tmpl, rec, base, recent)) {
            return fail("data set of template " + to_string(setId) + " at offset " + to_string(at) + ": record " +
                        to_string(n) + " runs past the end of its set");
          }
        }
      }
    }
    // Reserved set ids are skipped.
    at = end;
  }
  out.timesGuessed = base.guessed;

  for (uint16_t id : used) {
    if (auto it = templates.find(keyOf(id)); it != templates.end()) it->second.lastUse = nextUse();
  }
  for (auto& [id, tmpl] : staged) {
    const IpfixTemplateKey key = keyOf(id);
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

}  // namespace

bool decodeIpfixMessage(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                        IpfixMessage& out, std::string& error, uint64_t receivedMillis) {
  restartMessage(out);
  auto fail = [&](std::string text) {
    restartMessage(out);
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
  out.exportTime = getU32(data + 4);
  out.sequence = getU32(data + 8);
  out.domain = getU32(data + 12);
  TimeBase base;
  base.fallbackEnd = out.exportTime != 0 ? uint64_t(out.exportTime) * 1000 : receivedMillis;
  if (auto it = templates.systemInit.find({exporter, out.domain}); it != templates.systemInit.end()) {
    base.systemInit = it->second;
  }
  const std::optional<uint64_t> knownInit = base.systemInit;
  if (!decodeSets(data, size, kIpfixDialect, exporter, templates, base, out, error)) return false;
  if (base.systemInit && base.systemInit != knownInit) {
    if (templates.systemInit.size() >= kMaxIpfixTemplates) templates.systemInit.clear();
    templates.systemInit[{exporter, out.domain}] = *base.systemInit;
  }
  return true;
}

bool decodeNetflow9Packet(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                          IpfixMessage& out, std::string& error) {
  restartMessage(out);
  if (size < kNetflow9HeaderBytes) {
    error = "NetFlow v9 packet of " + to_string(size) + " bytes is shorter than the 20-byte header";
    return false;
  }
  if (getU16(data) != kNetflow9Version) {
    error = "version " + to_string(getU16(data)) + ", expected 9";
    return false;
  }
  const uint32_t upTime = getU32(data + 4);
  out.exportTime = getU32(data + 8);
  out.sequence = getU32(data + 12);
  out.domain = getU32(data + 16);  // the source id
  TimeBase base;
  // The header says when the exporter started: its clock less its uptime.
  const uint64_t clock = uint64_t(out.exportTime) * 1000;
  base.systemInit = clock - std::min<uint64_t>(upTime, clock);
  return decodeSets(data, size, kNetflow9Dialect, exporter, templates, base, out, error);
}

bool decodeNetflow5Packet(const uint8_t* data, size_t size, IpfixMessage& out, std::string& error) {
  restartMessage(out);
  if (size < kNetflow5HeaderBytes) {
    error = "NetFlow v5 packet of " + to_string(size) + " bytes is shorter than the 24-byte header";
    return false;
  }
  if (getU16(data) != kNetflow5Version) {
    error = "version " + to_string(getU16(data)) + ", expected 5";
    return false;
  }
  const uint16_t count = getU16(data + 2);
  if (count > kNetflow5MaxRecords || size != kNetflow5HeaderBytes + count * kNetflow5RecordBytes) {
    error = "NetFlow v5 packet of " + to_string(size) + " bytes says it holds " + to_string(count) + " records";
    return false;
  }
  const uint32_t upTime = getU32(data + 4);
  out.exportTime = getU32(data + 8);
  out.sequence = getU32(data + 16);
  out.domain = uint32_t(data[20]) << 8 | data[21];  // engine type and id
  const uint64_t clock = uint64_t(out.exportTime) * 1000 + getU32(data + 12) / 1000000;
  const uint64_t start = clock - std::min<uint64_t>(upTime, clock);
  out.records.resize(count);
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* r = data + kNetflow5HeaderBytes + size_t(i) * kNetflow5RecordBytes;
    CollectedFlow& rec = out.records[i];
    rec.srcip = getU32(r);
    rec.dstip = getU32(r + 4);
    rec.packets = getU32(r + 16);
    rec.octets = getU32(r + 20);
    rec.pkts = lowCount(rec.packets);
    rec.bytes = lowCount(rec.octets);
    rec.firstseen = start + getU32(r + 24);
    rec.lastseen = start + getU32(r + 28);
    rec.srcport = getU16(r + 32);
    rec.dstport = getU16(r + 34);
    rec.flags = r[37];
    rec.proto = r[38];
    rec.tos = r[39] >> 2;
    if (rec.proto == kIcmp) {  // type and code travel in the destination port
      rec.srcport = rec.dstport >> 8;
      rec.dstport &= 0xFF;
    }
  }
  return true;
}
