#include "export/ipfix_stream.h"

#include <algorithm>

#include "export/ipfix.h"
#include "export/serialize.h"

namespace {

// The length of the message that starts at `at` (its first 4 bytes there),
// or 0 when those bytes are not an IPFIX header.
size_t messageLength(const uint8_t* at, std::string& error) {
  const uint16_t version = getU16(at);
  const uint16_t length = getU16(at + 2);
  if (version != kIpfixVersion) {
    error = "version " + std::to_string(version) + ", expected 10";
    return 0;
  }
  if (length < kIpfixHeaderBytes) {
    error = "IPFIX length field says " + std::to_string(length) + " bytes, below the 16-byte header";
    return 0;
  }
  return length;
}

}  // namespace

bool readIpfixStream(IpfixStreamReader& reader, const uint8_t* data, size_t size,
                     const std::function<void(const uint8_t* message, size_t size)>& onMessage, std::string& error) {
  // First complete the message begun in an earlier piece.
  while (!reader.pending.empty()) {
    if (reader.pending.size() < 4) {
      const size_t take = std::min(size, 4 - reader.pending.size());
      reader.pending.insert(reader.pending.end(), data, data + take);
      data += take, size -= take;
      if (reader.pending.size() < 4) return true;
    }
    const size_t length = messageLength(reader.pending.data(), error);
    if (length == 0) return false;
    const size_t take = std::min(size, length - reader.pending.size());
    reader.pending.insert(reader.pending.end(), data, data + take);
    data += take, size -= take;
    if (reader.pending.size() < length) return true;
    onMessage(reader.pending.data(), length);
    reader.pending.clear();
  }
  // Then the whole messages of this piece, straight from it.
  while (size >= 4) {
    const size_t length = messageLength(data, error);
    if (length == 0) return false;
    if (size < length) break;
    onMessage(data, length);
    data += length, size -= length;
  }
  reader.pending.assign(data, data + size);
  return true;
}
