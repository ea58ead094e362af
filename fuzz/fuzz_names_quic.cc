// A UDP payload through the QUIC Initial reader (first byte 0), or a
// decrypted Initial payload through its frame walk (first byte 1), which
// random bytes would otherwise never reach past the AEAD tag.
#include <cstdint>
#include <cstring>

#include "capture/names/quic_initial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  char name[256];
  size_t length = 0;
  const bool found = data[0] & 1 ? quicCryptoFramesServerName(data + 1, size - 1, name, &length)
                                 : quicServerName(data + 1, size - 1, name, &length);
  if (found && (length == 0 || length > 255 || std::strlen(name) != length)) __builtin_trap();
  return 0;
}
