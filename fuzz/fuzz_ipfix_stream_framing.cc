// A TCP stream of IPFIX messages cut into pieces as a connection might
// deliver them: the first byte chooses the piece size, the rest is the
// stream. The messages handed over must be the stream's bytes in order,
// each with its own length, whatever the cuts.
#include <cstdint>
#include <string>
#include <vector>

#include "export/ipfix_stream.h"
#include "export/serialize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 64;
  ++data, --size;
  IpfixStreamReader reader;
  std::vector<uint8_t> joined;
  std::string error;
  bool ok = true;
  for (size_t at = 0; ok && at < size; at += piece) {
    ok = readIpfixStream(
        reader, data + at, std::min(piece, size - at),
        [&](const uint8_t* m, size_t n) {
          if (n < 16 || getU16(m) != 10 || getU16(m + 2) != n) __builtin_trap();
          joined.insert(joined.end(), m, m + n);
        },
        error);
    if (reader.pending.size() > 65535) __builtin_trap();
  }
  if (!ok && error.empty()) __builtin_trap();
  if (joined.size() > size || !std::equal(joined.begin(), joined.end(), data)) __builtin_trap();
  if (ok && joined.size() + reader.pending.size() != size) __builtin_trap();
  return 0;
}
