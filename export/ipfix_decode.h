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
#include <set>
#include <string>
#include <vector>

#include "export/ipfix.h"
#include "flow/flow_record.h"

struct IpfixTemplateKey {
  uint32_t exporter;  // the sender's IPv4 address, host order
  uint32_t domain;    // observation domain id (NetFlow v9: source id)
  uint16_t id;        // template id, 256 or more
  uint16_t version = kIpfixVersion;  // 10, or 9 for a NetFlow v9 template
  auto operator<=>(const IpfixTemplateKey&) const = default;
};

struct IpfixTemplate {
  std::vector<IpfixField> fields;  // in record order
  size_t minRecordBytes = 0;       // fixed lengths plus one byte per variable-length field
  uint64_t lastUse = 0;            // when last learned or used, for the eviction
  bool options = false;            // an options template: its records only say when the exporter started
};

// The templates learned, and what each exporter's options records said of
// its clock.
struct IpfixTemplates : std::map<IpfixTemplateKey, IpfixTemplate> {
  // systemInitTimeMilliseconds per exporter address and observation domain:
  // the time its uptime-relative flow times count from. Bounded like the
  // templates: past kMaxIpfixTemplates entries the table starts afresh.
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> systemInit;
  // Exporters already told that their times had to be guessed (the
  // collector's, for its once-per-exporter line).
  std::set<uint32_t> timesGuessedTold;
};

// A record as the collector reads it: the flow, with packet and byte counts
// of up to 64 bits (another exporter's counters may pass the record's 32).
struct CollectedFlow : FlowEntry {
  uint64_t packets = 0;
  uint64_t octets = 0;

  CollectedFlow() = default;
  CollectedFlow(const FlowEntry& flow)  // NOLINT: a native record widens silently
      : FlowEntry(flow), packets(static_cast<uint32_t>(flow.pkts)), octets(static_cast<uint32_t>(flow.bytes)) {}
  CollectedFlow(const FlowRecord& flow) : CollectedFlow(FlowEntry(flow)) {}  // NOLINT
};

// Strings longer than this are cut to it, as the native datagram cuts them.
inline constexpr size_t kMaxCollectedStringBytes = 255;
// A template of more fields is refused: no flow needs them, and every
// field costs time in every record.
inline constexpr size_t kMaxIpfixTemplateFields = 512;

// The table holds at most this many templates, and at most
// kMaxIpfixTemplatesPerExporter of one exporter address; a new template
// beyond either bound replaces the least recently used one (of that
// exporter, or of all). A flood of made-up templates from one address thus
// cannot crowd out another exporter's.
inline constexpr size_t kMaxIpfixTemplates = 4096;
inline constexpr size_t kMaxIpfixTemplatesPerExporter = 256;
// With at most kMaxIpfixTemplateFields fields a template, one exporter's
// templates take at most about this much memory.
inline constexpr size_t kMaxIpfixTemplateBytesPerExporter =
    kMaxIpfixTemplatesPerExporter * (kMaxIpfixTemplateFields * sizeof(IpfixField) + sizeof(IpfixTemplate) + 64);
static_assert(kMaxIpfixTemplateBytesPerExporter <= 4 * 1024 * 1024, "one exporter's templates stay within 4 MB");

struct IpfixMessage {
  uint32_t domain = 0;
  uint32_t sequence = 0;
  uint32_t exportTime = 0;                 // seconds since 1970, from the header
  std::vector<CollectedFlow> records;      // in wire order; IPv6 ends make an IPv6 entry
  // Some records gave their times relative to the exporter's start without
  // saying when that was (no systemInitTimeMilliseconds): their ends were
  // taken as the export time (the receive time when that is 0).
  bool timesGuessed = false;
  std::vector<uint16_t> unknownTemplates;  // ids of data sets skipped, each once, in order
  std::vector<uint16_t> refusedTemplates;  // ids of templates without a flow field, each once, in order
};

// Decodes one whole message of `size` bytes from `exporter`. Every length is
// checked before it is used: the header must be there with version 10 and a
// length equal to `size`; every set must lie inside the message; template
// records must lie inside their set and have ids of 256 or more; each data
// record must lie inside its set. Bytes at the end of a set too few for
// another record are padding. Data sets whose template is neither in this
// message (before them) nor in `templates` are skipped and listed. Reserved
// set ids are skipped. A template none of whose
// fields is one a flow record takes is refused (listed, not learned; its
// data sets count as not seen). On success the message's other templates
// are added to `templates` (a template record with no fields withdraws its
// id), the ones used are marked as used, and `out` holds the records: fields the template lacks
// stay 0 or empty; unsigned elements may use any size of 1 to 8 bytes; an
// ICMP flow's icmpTypeCodeIPv4 (an ICMPv6 flow's icmpTypeCodeIPv6) becomes
// its srcport (type) and dstport (code); IPv6 addresses make an IPv6 entry;
// flowDirection 0 sets inif, 1 sets outif. On failure `templates` is
// unchanged, `out` is empty and `error` says what is wrong and where.
//
// Templates of more than kMaxIpfixTemplateFields fields, or with a fixed
// length of 0, make the message malformed. Counts are read whole (up to 64
// bits); strings are cut at kMaxCollectedStringBytes. Times come from
// flowStart/EndMilliseconds, else flowStart/EndSeconds, else from
// flowStart/EndSysUpTime added to systemInitTimeMilliseconds (of the record,
// or of an options record of the same exporter and domain); without it the
// flow's end is the export time (or `receivedMillis` when that is 0) and
// timesGuessed is set. Options templates with systemInitTimeMilliseconds
// are learned and their records remembered; other options sets skipped.
bool decodeIpfixMessage(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                        IpfixMessage& out, std::string& error, uint64_t receivedMillis = 0);

inline constexpr uint16_t kNetflow9Version = 9;
inline constexpr size_t kNetflow9HeaderBytes = 20;  // version, count, uptime, clock, sequence, source id
inline constexpr uint16_t kNetflow5Version = 5;
inline constexpr size_t kNetflow5HeaderBytes = 24;
inline constexpr size_t kNetflow5RecordBytes = 48;
inline constexpr uint16_t kNetflow5MaxRecords = 30;

// Decodes one NetFlow v9 packet (RFC 3954) into `out` as decodeIpfixMessage
// does: template flowsets (0) and options template flowsets (1) are learned
// per exporter and source id (out.domain) with the same bounds; field types
// are read as the IPFIX elements of the same numbers; times are the
// header's clock less its uptime, plus FIRST/LAST_SWITCHED. Padding after
// the last flowset is allowed.
bool decodeNetflow9Packet(const uint8_t* data, size_t size, uint32_t exporter, IpfixTemplates& templates,
                          IpfixMessage& out, std::string& error);

// Decodes one NetFlow v5 packet: the header's count must match the size
// exactly (at most 30 records). out.domain is engine type × 256 + engine id;
// times from the header's uptime and clock; the TOS byte's upper six bits
// are the DSCP; an ICMP record's destination port is its type × 256 + code.
bool decodeNetflow5Packet(const uint8_t* data, size_t size, IpfixMessage& out, std::string& error);
