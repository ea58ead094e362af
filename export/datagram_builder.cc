#include "export/datagram_builder.h"

#include "export/ipfix.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/state.h"

namespace {

// Native datagrams: the version is written once, the record count before
// each send.
uint16_t nativeBegin(DatagramBuilder&, uint64_t) { return kDatagramHeaderBytes; }
uint16_t nativeLength(const DatagramBuilder&, const FlowEntry& record, uint64_t) { return recordLength(record); }
uint16_t nativeWrite(DatagramBuilder& b, const FlowEntry& record, uint64_t) {
  return serializeRecord(record, static_cast<int16_t>(b.fill), b.buffer);
}
void nativeFinish(DatagramBuilder& b) { putU16(b.buffer + 2, b.count); }
void nativeAfterSend(DatagramBuilder&, bool) {}

// IPFIX messages: the header, then for each run of records of one family
// its template set when due and a data set.
size_t familyIndex(const FlowEntry& record) { return record.ipv6() ? 1 : 0; }
uint16_t templateIdOf(const FlowEntry& record) { return record.ipv6() ? kIpfixTemplateId6 : kIpfixTemplateId; }

bool templateDue(const IpfixRunState& run, size_t family, uint64_t nowMillis) {
  const IpfixTemplateState& t = run.templates[family];
  return !t.inMessage && (!t.sent || nowMillis - t.at >= kIpfixTemplateResendMillis);
}

uint16_t ipfixBegin(DatagramBuilder& b, uint64_t) {
  b.ipfix.dataSetId = 0;
  for (IpfixTemplateState& t : b.ipfix.templates) t.inMessage = false;
  return kIpfixHeaderBytes;
}

uint16_t ipfixLength(const DatagramBuilder& b, const FlowEntry& record, uint64_t nowMillis) {
  const size_t family = familyIndex(record);
  size_t length = record.ipv6() ? ipfixRecordLength6(record) : ipfixRecordLength(record);
  if (b.ipfix.dataSetId != templateIdOf(record)) length += kIpfixSetHeaderBytes;
  if (templateDue(b.ipfix, family, nowMillis)) length += family == 1 ? kIpfixTemplateSetBytes6 : kIpfixTemplateSetBytes;
  return static_cast<uint16_t>(length);
}

void closeDataSet(DatagramBuilder& b) {
  if (b.ipfix.dataSetId != 0) putU16(b.buffer + b.ipfix.dataSetAt + 2, static_cast<uint16_t>(b.fill - b.ipfix.dataSetAt));
  b.ipfix.dataSetId = 0;
}

uint16_t ipfixWrite(DatagramBuilder& b, const FlowEntry& record, uint64_t nowMillis) {
  IpfixRunState& run = b.ipfix;
  const uint16_t start = b.fill;
  const size_t family = familyIndex(record);
  const uint16_t id = templateIdOf(record);
  size_t at = b.fill;
  if (run.dataSetId != id) {
    closeDataSet(b);
    if (templateDue(run, family, nowMillis)) {
      at += family == 1 ? writeIpfixTemplateSet6(b.buffer + at) : writeIpfixTemplateSet(b.buffer + at);
      run.templates[family] = {true, nowMillis, true};
    }
    run.dataSetAt = static_cast<uint16_t>(at);
    run.dataSetId = id;
    putIpfixSetHeader(b.buffer + at, id, 0);
    at += kIpfixSetHeaderBytes;
  }
  at += record.ipv6() ? writeIpfixRecord6(record, b.buffer + at) : writeIpfixRecord(record, b.buffer + at);
  return static_cast<uint16_t>(at - start);
}

void ipfixFinish(DatagramBuilder& b) {
  closeDataSet(b);
  putIpfixHeader(b.buffer, b.fill, static_cast<uint32_t>(b.wallClockMillis() / 1000), b.ipfix.recordsSent);
}
void ipfixAfterSend(DatagramBuilder& b, bool whole) {
  // The sequence number counts records handed to the socket, so a collector
  // sees a lost message as a gap.
  b.ipfix.recordsSent += b.count;
  // A template that did not leave whole goes into the next message.
  for (IpfixTemplateState& t : b.ipfix.templates) {
    if (!whole && t.inMessage) t.sent = false;
    t.inMessage = false;
  }
}

constexpr MessageFormat kNative = {kDatagramHeaderBytes, nativeBegin, nativeLength, nativeWrite, nativeFinish,
                                   nativeAfterSend};
constexpr MessageFormat kIpfix = {kIpfixHeaderBytes, ipfixBegin, ipfixLength, ipfixWrite, ipfixFinish,
                                  ipfixAfterSend};

}  // namespace

DatagramBuilder::DatagramBuilder(DatagramSendFn sendFn) : DatagramBuilder(std::move(sendFn), ExportFormat::native) {}

DatagramBuilder::DatagramBuilder(DatagramSendFn sendFn, ExportFormat exportFormat)
    : format(exportFormat == ExportFormat::ipfix ? &kIpfix : &kNative),
      fill(format->emptyFill),
      send(std::move(sendFn)),
      wallClockMillis(currentTimeMillis) {
  putU16(buffer, exportFormat == ExportFormat::ipfix ? kIpfixVersion : kExportVersion);
  putU16(buffer + 2, 0);
}

void DatagramBuilder::add(const FlowEntry& record, uint64_t nowMillis) {
  if (record.ipv6() && format == &kNative) {
    exportsSkippedIPv6.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (count > 0 && fill + format->recordLength(*this, record, nowMillis) > kMaxDatagramBytes) sendNow();
  if (count == 0) {
    firstRecordAt = nowMillis;
    fill = format->begin(*this, nowMillis);
  }
  count += 1;
  fill += format->writeRecord(*this, record, nowMillis);
}

bool DatagramBuilder::sendIfStale(uint64_t nowMillis) {
  if (count == 0 || nowMillis - firstRecordAt < kExportFlushMillis) return false;
  sendNow();
  return true;
}

bool DatagramBuilder::sendPending() {
  if (count == 0) return false;
  sendNow();
  return true;
}

void DatagramBuilder::sendNow() {
  format->finish(*this);
  const int64_t sent = send(buffer, fill);
  const bool whole = sent == static_cast<int64_t>(fill);
  if (!whole) consolePrintf("Mismatch in number of bytes sent\n");
  exportsSent.fetch_add(1);
  exportRecordsSent.fetch_add(count);
  format->afterSend(*this, whole);
  count = 0;
  fill = format->emptyFill;
}
