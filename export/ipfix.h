// IPFIX (RFC 7011) encoding of finished flows: the message header, the one
// template the monitor sends, and its data records. Every integer is written
// in network byte order with the put-helpers of export/serialize.h. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flow/flow_record.h"

inline constexpr uint16_t kIpfixVersion = 10;
inline constexpr size_t kIpfixHeaderBytes = 16;  // version, length, export time, sequence, domain
inline constexpr size_t kIpfixSetHeaderBytes = 4;  // set id, set length
inline constexpr uint16_t kIpfixTemplateSetId = 2;
inline constexpr uint16_t kIpfixOptionsTemplateSetId = 3;
inline constexpr uint16_t kIpfixMinDataSetId = 256;  // data sets carry their template's id
inline constexpr uint16_t kIpfixVariableLength = 0xFFFF;  // field length of a variable-length element
inline constexpr uint16_t kIpfixEnterpriseBit = 0x8000;   // element id bit: a private enterprise number follows

// The ids of the templates that describe the monitor's data records: one
// for IPv4 flows, one for IPv6 flows.
inline constexpr uint16_t kIpfixTemplateId = 256;
inline constexpr uint16_t kIpfixTemplateId6 = 257;
inline constexpr uint32_t kIpfixObservationDomain = 0;

// Private Enterprise Number of the monitor's own elements: 32473 is the number
// RFC 5612 sets aside for documentation, used until the project has its own.
inline constexpr uint32_t kVantrelEnterpriseNumber = 32473;

// Standard information elements (IANA registry numbers) the records carry.
inline constexpr uint16_t kIeOctetDeltaCount = 1;
inline constexpr uint16_t kIePacketDeltaCount = 2;
inline constexpr uint16_t kIeProtocolIdentifier = 4;
inline constexpr uint16_t kIeTcpControlBits = 6;
inline constexpr uint16_t kIeSourceTransportPort = 7;
inline constexpr uint16_t kIeSourceIPv4Address = 8;
inline constexpr uint16_t kIeDestinationTransportPort = 11;
inline constexpr uint16_t kIeDestinationIPv4Address = 12;
inline constexpr uint16_t kIeSourceIPv6Address = 27;
inline constexpr uint16_t kIeDestinationIPv6Address = 28;
inline constexpr uint16_t kIeFlowLabelIPv6 = 31;
inline constexpr uint16_t kIeIcmpTypeCodeIPv4 = 32;
inline constexpr uint16_t kIeIcmpTypeCodeIPv6 = 139;
inline constexpr uint16_t kIeFlowDirection = 61;
inline constexpr uint16_t kIeIpClassOfService = 5;         // the whole TOS byte
inline constexpr uint16_t kIeFlowEndSysUpTime = 21;        // ms since the exporter's start
inline constexpr uint16_t kIeFlowStartSysUpTime = 22;      // ms since the exporter's start
inline constexpr uint16_t kIeFlowStartSeconds = 150;
inline constexpr uint16_t kIeFlowEndSeconds = 151;
inline constexpr uint16_t kIeSystemInitTimeMilliseconds = 160;
inline constexpr uint16_t kIeFlowStartMilliseconds = 152;
inline constexpr uint16_t kIeFlowEndMilliseconds = 153;
inline constexpr uint16_t kIeIpDiffServCodePoint = 195;

// The monitor's own elements under kVantrelEnterpriseNumber.
inline constexpr uint16_t kIeVantrelProcessName = 1;   // string, variable length
inline constexpr uint16_t kIeVantrelUserName = 2;      // string, variable length
inline constexpr uint16_t kIeVantrelDomain = 3;        // string, variable length
inline constexpr uint16_t kIeVantrelReplyDelay = 4;    // unsigned16, milliseconds
inline constexpr uint16_t kIeVantrelPeerName = 5;      // string, variable length: the remote end's name
inline constexpr uint16_t kIeVantrelNameSource = 6;    // string, variable length: "dns", "tls", "quic" or ""
inline constexpr uint16_t kIeVantrelService = 7;       // string, variable length
inline constexpr uint16_t kIeVantrelContainer = 8;     // string, variable length

// flowDirection values.
inline constexpr uint8_t kIpfixInbound = 0;
inline constexpr uint8_t kIpfixOutbound = 1;

// One field of the template, in record order.
struct IpfixField {
  uint16_t id;          // element id, without the enterprise bit
  uint16_t length;      // bytes on the wire, or kIpfixVariableLength
  uint32_t enterprise;  // 0 for a standard element
};

// The monitor's template, in the order the record fields are written.
// octetDeltaCount and packetDeltaCount take their registry size of 8 bytes
// and carry the record's 32-bit counters zero-extended; tcpControlBits its
// registry size of 2 bytes.
inline constexpr IpfixField kIpfixFields[] = {
    {kIeSourceIPv4Address, 4, 0},
    {kIeDestinationIPv4Address, 4, 0},
    {kIeSourceTransportPort, 2, 0},
    {kIeDestinationTransportPort, 2, 0},
    {kIeIcmpTypeCodeIPv4, 2, 0},
    {kIeProtocolIdentifier, 1, 0},
    {kIeIpDiffServCodePoint, 1, 0},
    {kIeTcpControlBits, 2, 0},
    {kIeOctetDeltaCount, 8, 0},
    {kIePacketDeltaCount, 8, 0},
    {kIeFlowStartMilliseconds, 8, 0},
    {kIeFlowEndMilliseconds, 8, 0},
    {kIeFlowDirection, 1, 0},
    {kIeVantrelReplyDelay, 2, kVantrelEnterpriseNumber},
    {kIeVantrelProcessName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelUserName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelDomain, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelPeerName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelNameSource, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelService, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelContainer, kIpfixVariableLength, kVantrelEnterpriseNumber},
};

// The IPv6 template: the IPv4 one with IPv6 addresses, ICMPv6's type and
// code, and the first packet's flow label.
inline constexpr IpfixField kIpfixFields6[] = {
    {kIeSourceIPv6Address, 16, 0},
    {kIeDestinationIPv6Address, 16, 0},
    {kIeSourceTransportPort, 2, 0},
    {kIeDestinationTransportPort, 2, 0},
    {kIeIcmpTypeCodeIPv6, 2, 0},
    {kIeProtocolIdentifier, 1, 0},
    {kIeIpDiffServCodePoint, 1, 0},
    {kIeTcpControlBits, 2, 0},
    {kIeOctetDeltaCount, 8, 0},
    {kIePacketDeltaCount, 8, 0},
    {kIeFlowStartMilliseconds, 8, 0},
    {kIeFlowEndMilliseconds, 8, 0},
    {kIeFlowDirection, 1, 0},
    {kIeFlowLabelIPv6, 4, 0},
    {kIeVantrelReplyDelay, 2, kVantrelEnterpriseNumber},
    {kIeVantrelProcessName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelUserName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelDomain, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelPeerName, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelNameSource, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelService, kIpfixVariableLength, kVantrelEnterpriseNumber},
    {kIeVantrelContainer, kIpfixVariableLength, kVantrelEnterpriseNumber},
};

// Bytes of the template set: set header, template header, 13 standard field
// specifiers of 4 bytes and 8 enterprise ones of 8. 124.
inline constexpr size_t kIpfixTemplateSetBytes = 4 + 4 + 13 * 4 + 8 * 8;
// The IPv6 template's set: 14 standard fields. 128.
inline constexpr size_t kIpfixTemplateSetBytes6 = 4 + 4 + 14 * 4 + 8 * 8;

// The record's strings, in template order.
inline constexpr size_t kIpfixRecordStrings = 7;
// A record without strings: 53 bytes of fixed fields and seven length bytes.
inline constexpr size_t kIpfixRecordFixedBytes = 53 + kIpfixRecordStrings;
// An IPv6 record without strings: 24 more address bytes and the flow label.
inline constexpr size_t kIpfixRecordFixedBytes6 = kIpfixRecordFixedBytes + 24 + 4;

// Writes the message header at `at`: version 10, `length` (the whole
// message), `exportSeconds`, `sequence` (data records sent before this
// message in the run) and observation domain 0.
void putIpfixHeader(uint8_t* at, uint16_t length, uint32_t exportSeconds, uint32_t sequence);

// Writes a set header at `at`.
void putIpfixSetHeader(uint8_t* at, uint16_t setId, uint16_t length);

// Writes the template set at `at`; returns kIpfixTemplateSetBytes.
size_t writeIpfixTemplateSet(uint8_t* at);
// Writes the IPv6 template's set at `at`; returns kIpfixTemplateSetBytes6.
size_t writeIpfixTemplateSet6(uint8_t* at);

// Most bytes written of the account and of its domain in a record whose
// strings would otherwise not fit one datagram with its template (a long
// process name, account, domain, peer name and service all at once).
inline constexpr size_t kIpfixAccountMaxBytes = 128;
// Longest container id written: ids are 12 hex digits, a pod's UID 36
// characters.
inline constexpr size_t kIpfixContainerMaxBytes = 64;
// Longest name source written: "dns", "tls" or "quic".
inline constexpr size_t kIpfixNameSourceMaxBytes = 4;

// Bytes `record` takes as a data record. Each string is cut to 255 bytes, as
// in the native format, the container to kIpfixContainerMaxBytes, and the
// account and domain to kIpfixAccountMaxBytes where the strings would
// otherwise pass kIpfixRecordMaxBytes; a string of 255 bytes or more takes a
// 3-byte length (RFC 7011 §7). At most 60 + 3 * (2 + 255) + 2 * 128 + 4 + 64
// = 1155.
uint16_t ipfixRecordLength(const FlowRecord& record);
inline constexpr size_t kIpfixRecordMaxBytes = kIpfixRecordFixedBytes + 3 * (2 + 255) + 2 * kIpfixAccountMaxBytes +
                                               kIpfixNameSourceMaxBytes + kIpfixContainerMaxBytes;
// The longest IPv6 record fits one message with its template.
static_assert(kIpfixHeaderBytes + kIpfixTemplateSetBytes6 + kIpfixSetHeaderBytes + kIpfixRecordMaxBytes +
                      (kIpfixRecordFixedBytes6 - kIpfixRecordFixedBytes) <= 1400,
              "the longest IPFIX record no longer fits a datagram");

// Writes `record` as a data record of kIpfixTemplateId at `at` and returns
// ipfixRecordLength(record). ICMP flows carry 0 in both ports and their
// type * 256 + code in icmpTypeCodeIPv4; TCP and UDP flows carry 0 there.
uint16_t writeIpfixRecord(const FlowRecord& record, uint8_t* at);

// The IPv6 forms: a record of kIpfixTemplateId6 from an IPv6 entry. ICMPv6
// flows carry their type * 256 + code in icmpTypeCodeIPv6.
uint16_t ipfixRecordLength6(const FlowEntry& entry);
uint16_t writeIpfixRecord6(const FlowEntry& entry, uint8_t* at);
