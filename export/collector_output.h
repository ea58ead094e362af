// What the collector writes for the datagrams it receives: one JSON object or
// one CSV row per flow record, whether a native datagram or an IPFIX message
// carried it, and one-line reports for what it cannot use. Pure functions;
// any thread (an IPFIX template table belongs to one thread).
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "export/ipfix_decode.h"
#include "flow/flow_record.h"

enum class CollectorFormat { json, csv };

// The flow members, in the order of the CSV columns.
inline constexpr const char* kCollectorColumns[] = {
    "inif", "outif", "firstseen", "lastseen", "srcip", "dstip", "srcport", "dstport", "pkts",
    "bytes", "flags", "tos", "proto", "processname", "user", "domain", "replydelay", "exporter", "obsdomain",
    "peername", "namesource", "service", "container"};

// Who sent a record: the exporter's address (host order) and, for IPFIX,
// the observation domain of its message (0 for native datagrams).
struct RecordSource {
  uint32_t exporter = 0;
  uint32_t obsdomain = 0;
};

// The text written once before any record: the CSV header line, or nothing
// for JSON.
std::string collectorHeader(CollectorFormat format);

// A record as a JSON object with the members above: addresses dotted
// (IPv6 ones as RFC 5952 text), counters and times as unsigned 64-bit
// numbers, strings as valid UTF-8 (see validUtf8), the exporter dotted.
Json::Value flowRecordJson(const CollectedFlow& record, const RecordSource& from = {});

// Appends the line (with "\n") for one record: compact one-line JSON, or a
// CSV row with the three strings as appendCsvCell writes them.
void appendFlowLine(const CollectedFlow& record, CollectorFormat format, std::string& out,
                    const RecordSource& from = {});

// Decodes one native datagram and appends one line per record to `out`. On
// a malformed datagram nothing is appended and `error` holds the reason.
bool datagramToLines(const uint8_t* data, size_t size, CollectorFormat format, std::string& out,
                     std::string& error, const RecordSource& from = {});

// The standard-error line for a datagram from `fromAddress`:`fromPort` that
// could not be decoded.
std::string malformedDatagramReport(uint32_t fromAddress, uint16_t fromPort, const std::string& reason);

// What one received datagram gives: lines for standard output and report
// lines for standard error.
struct CollectedText {
  std::string lines;
  std::string reports;
};

// One line for standard error, and its kind ("malformed", "refused",
// "unknown", "times"), by which repeats are held back.
struct CollectorReport {
  const char* kind;
  std::string line;
};

// The records one received datagram gives, and its report lines for
// standard error.
struct CollectedFlows {
  std::vector<CollectedFlow> records;
  uint32_t obsdomain = 0;  // IPFIX observation domain; 0 for a native datagram
  std::vector<CollectorReport> reports;
  IpfixMessage message;  // the decoder's, kept so that its room serves the next datagram
};

// Keeps standard error readable under a flood: of each exporter and kind,
// one line a second at most. A line that follows held-back ones says how
// many: "(N more like this left out)" before its end. The table holds at
// most kMaxReportKeys exporter-kind pairs; past that it starts afresh.
struct ReportLimiter {
  struct Seen {
    uint64_t lastShown = 0;  // ms
    uint64_t held = 0;       // lines left out since
  };
  std::map<std::pair<uint32_t, std::string>, Seen> seen;
};
inline constexpr size_t kMaxReportKeys = 4096;

// The text to write now for `report` from `exporter` at `nowMillis`: the
// line (with the count of those held back), or "" while it is held back.
std::string limitReport(ReportLimiter& limiter, uint32_t exporter, const CollectorReport& report, uint64_t nowMillis);

// Decodes a native datagram or an IPFIX message as collectDatagram does,
// into records instead of lines; `out.records` is replaced, reports are
// appended.
// `receivedMillis` is the time of arrival, for an IPFIX message whose times
// cannot be placed otherwise (said once per exporter).
void collectFlows(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                  IpfixTemplates& templates, CollectedFlows& out, uint64_t receivedMillis = 0);

// Decodes a native datagram (version 2) or an IPFIX message (version 10)
// from `fromAddress`:`fromPort`, learning IPFIX templates into `templates`,
// and appends its flow lines and reports to `out`: a malformed datagram
// gives one report and no lines; an IPFIX message with data sets of
// templates not seen yet gives one report naming them, and the lines of the
// records it could decode.
void collectDatagram(const uint8_t* data, size_t size, uint32_t fromAddress, uint16_t fromPort,
                     IpfixTemplates& templates, CollectorFormat format, CollectedText& out);
