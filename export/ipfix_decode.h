// Reading IPFIX messages (RFC 7011) back into flow records: the collector's
// side of export/ipfix.h, for the monitor's messages and for any exporter
// that uses the same standard elements. Templates are learned from template
// sets and kept per exporter address, observation domain and template id.
// Pure functions over the caller's template table; one thread at a time per
// table.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "export/ipfix.h"
#include "flow/flow_record.h"

struct IpfixTemplateKey {
  uint32_t exporter;  // the sender's IPv4 address, host order
  uint32_t domain;    // observation domain id
  uint16_t id;        // template id, 256 or more
  auto operator<=>(const IpfixTemplateKey&) const = default;
};

struct IpfixTemplate {
  std::vector<IpfixField> fields;  // in record order
  size_t minRecordBytes = 0;       // fixed lengths plus one byte per variable-length field
  uint64_t lastUse = 0;            // when last learned or used, for the eviction
};

using IpfixTemplates = std::map<IpfixTemplateKey, IpfixTemplate>;

// The table holds at most this many templates, and at most
// kMaxIpfixTemplatesPerExporter of one exporter address; a new template
// beyond either bound replaces the least recently used one (of that
// exporter, or of all). A flood of made-up templates from one address thus
// cannot crowd out another exporter's.
inline constexpr size_t kMaxIpfixTemplates = 4096;
inline constexpr size_t kMaxIpfixTemplatesPerExporter = 256;

struct IpfixMessage {
  uint32_t domain = 0;
  uint32_t sequence = 0;
  std::vector<FlowEntry> records;          // in wire order; IPv6 ends make an IPv6 entry
  std::vector<uint16_t> unknownTemplates;  // ids of data sets skipped, each once, in order
  std::vector<uint16_t> refusedTemplates;  // ids of templates without a flow field, each once, in order
};

// Decodes one whole message of `size` bytes from `exporter`. Every length is
// checked before it is used: the header must be there with version 10 and a
// length equal to `size`; every set must lie inside the message; template
// records must lie inside their set and have ids of 256 or more; each data
// record must lie inside its set. Bytes at the end of a set too few for
// another record are padding. Data sets whose template is neither in this
// message (before them) nor in `templates` are skipped and listed. Option
// template sets and reserved set ids are skipped. A template none of whose
// fields is one a flow record takes is refused (listed, not learned; its
// data sets count as not seen). On success the message's other templates
// are added to `templates` (a template record with no fields withdraws its
// id), the ones used are marked as used, and `out` holds the records: fields the template lacks
// stay 0 or empty; unsigned elements may use any size of 1 to 8 bytes; an
// ICMP flow's icmpTypeCodeIPv4 (an ICMPv6 flow's icmpTypeCodeIPv6) becomes
// its srcport (type) and dstport (code); IPv6 addresses make an IPv6 entry;
// flowDirection 0 sets inif, 1 sets outif. On failure `templates` is
// unchanged, `out` is empty and `error` says what is wrong and where.
bool decodeIpfixMessage(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                        IpfixMessage& out, std::string& error);
