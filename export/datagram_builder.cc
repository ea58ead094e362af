#include "export/datagram_builder.h"

#include "export/ipfix.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/state.h"

namespace {

// Native datagrams: the version is written once, the record count before
// each send.
uint16_t nativeBegin(DatagramBuilder&, uint64_t) { return kDatagramHeaderBytes; }
uint16_t nativeWrite(const FlowRecord& record, uint16_t offset, uint8_t* buffer) {
  return serializeRecord(record, static_cast<int16_t>(offset), buffer);
}
void nativeFinish(DatagramBuilder& b) { putU16(b.buffer + 2, b.count); }
void nativeAfterSend(DatagramBuilder&, bool) {}

// IPFIX messages: header, the template set when it is due, one data set.
uint16_t ipfixBegin(DatagramBuilder& b, uint64_t nowMillis) {
  IpfixRunState& run = b.ipfix;
  size_t at = kIpfixHeaderBytes;
  run.templateInMessage = !run.templateSent || nowMillis - run.templateAt >= kIpfixTemplateResendMillis;
  if (run.templateInMessage) {
    at += writeIpfixTemplateSet(b.buffer + at);
    run.templateSent = true;
    run.templateAt = nowMillis;
  }
  run.dataSetAt = static_cast<uint16_t>(at);
  putIpfixSetHeader(b.buffer + at, kIpfixTemplateId, 0);
  return static_cast<uint16_t>(at + kIpfixSetHeaderBytes);
}
uint16_t ipfixWrite(const FlowRecord& record, uint16_t offset, uint8_t* buffer) {
  return writeIpfixRecord(record, buffer + offset);
}
void ipfixFinish(DatagramBuilder& b) {
  putIpfixHeader(b.buffer, b.fill, static_cast<uint32_t>(b.wallClockMillis() / 1000), b.ipfix.recordsSent);
  putU16(b.buffer + b.ipfix.dataSetAt + 2, static_cast<uint16_t>(b.fill - b.ipfix.dataSetAt));
}
void ipfixAfterSend(DatagramBuilder& b, bool whole) {
  // The sequence number counts records handed to the socket, so a collector
  // sees a lost message as a gap.
  b.ipfix.recordsSent += b.count;
  // A template that did not leave whole goes into the next message.
  if (!whole && b.ipfix.templateInMessage) b.ipfix.templateSent = false;
}

constexpr MessageFormat kNative = {kDatagramHeaderBytes, nativeBegin, recordLength, nativeWrite, nativeFinish,
                                   nativeAfterSend};
constexpr MessageFormat kIpfix = {kIpfixHeaderBytes, ipfixBegin, ipfixRecordLength, ipfixWrite, ipfixFinish,
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

void DatagramBuilder::add(const FlowRecord& record, uint64_t nowMillis) {
  if (count > 0 && fill + format->recordLength(record) > kMaxDatagramBytes) sendNow();
  if (count == 0) {
    firstRecordAt = nowMillis;
    fill = format->begin(*this, nowMillis);
  }
  count += 1;
  fill += format->writeRecord(record, fill, buffer);
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
