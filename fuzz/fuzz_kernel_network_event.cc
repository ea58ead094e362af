// One event of Windows' kernel network provider: two bytes of event id
// (little-endian), then its payload. Checks what the owner table relies on:
// at most two owner events, a local port, a TCP peer, a UDP close of the
// same socket, and `out` untouched by a rejected payload.
#include <cstdint>
#include <cstring>

#include "platform/kernel_network_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t id = static_cast<uint16_t>(data[0] | data[1] << 8);
  OwnerEvent out[2];
  out[0].pid = 0xdeadbeef;
  const size_t n = decodeKernelNetworkEvent(id, data + 2, size - 2, out);
  if (n > 2) __builtin_trap();
  if (n == 0) {
    if (out[0].pid != 0xdeadbeef) __builtin_trap();
    return 0;
  }
  const OwnerEvent& e = out[0];
  if (e.kind == OwnerEventKind::kClosesLost || e.cookie == 0) __builtin_trap();
  if (e.kind == OwnerEventKind::kOwned) {
    if (e.localPort == 0 || (e.family != 4 && e.family != 6)) __builtin_trap();
    if (e.protocol == 6 && (e.remotePort == 0 || (e.family == 4 ? e.remoteAddr == 0 : e.remoteAddr6.unspecified())))
      __builtin_trap();
    if (e.family == 6 && (e.localAddr6.v4Mapped() || e.remoteAddr6.v4Mapped())) __builtin_trap();
    if (e.netns != 0 || e.uid != 0 || e.comm[0] != 0) __builtin_trap();
  }
  if (n == 2 && (e.protocol != 17 || out[1].kind != OwnerEventKind::kClosed || out[1].cookie != e.cookie))
    __builtin_trap();
  return 0;
}
