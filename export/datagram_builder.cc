#include "export/datagram_builder.h"

#include "app/console.h"
#include "app/state.h"

DatagramBuilder::DatagramBuilder(DatagramSendFn sendFn) : send(std::move(sendFn)) {
  putU16(buffer, kExportVersion);
  putU16(buffer + 2, 0);
}

void DatagramBuilder::add(const FlowRecord& record, uint64_t nowMillis) {
  if (fill + recordLength(record) > kMaxDatagramBytes) sendNow();
  if (count == 0) firstRecordAt = nowMillis;
  count += 1;
  fill += serializeRecord(record, static_cast<int16_t>(fill), buffer);
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
  putU16(buffer + 2, count);
  const int64_t sent = send(buffer, fill);
  if (sent != static_cast<int64_t>(fill)) consolePrintf("Mismatch in number of bytes sent\n");
  exportsSent.fetch_add(1);
  count = 0;
  fill = kDatagramHeaderBytes;
}
