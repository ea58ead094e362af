// Reading export datagrams back into flow records: the collector's side of
// the wire format in export/serialize.h. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/flow_record.h"

// Decodes one whole datagram of `size` bytes. Every length is checked before
// it is used: the header must be there, the version must be 2, the datagram
// must not exceed 1400 bytes, each record with its three strings must lie
// inside the datagram, and the records must end exactly where the datagram
// ends, their number equal to the record count. On success `records` holds
// the records in wire order (owners made with makeOwner). On failure
// `records` is empty and `error` says what is wrong and where.
bool decodeDatagram(const uint8_t* data, size_t size, std::vector<FlowRecord>& records, std::string& error);
