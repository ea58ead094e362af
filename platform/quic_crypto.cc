// The part of the QUIC Initial cryptography that is the same on every system:
// the key schedule over the system's HKDF.
#include "platform/quic_crypto.h"

#include <cstring>

namespace {

const uint8_t kSaltV1[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                             0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
const uint8_t kSaltV2[20] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                             0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};

// HKDF-Expand-Label of TLS 1.3 with an empty context: info is the output length, the label with
// its "tls13 " prefix, and an empty context.
bool expandLabel(const uint8_t secret[32], const char* label, uint8_t* out, size_t length) {
  static const char kPrefix[] = "tls13 ";
  const size_t labelLength = std::strlen(label);
  uint8_t info[2 + 1 + 6 + 32 + 1];
  if (labelLength > 32) return false;
  size_t n = 0;
  info[n++] = static_cast<uint8_t>(length >> 8);
  info[n++] = static_cast<uint8_t>(length);
  info[n++] = static_cast<uint8_t>(6 + labelLength);
  std::memcpy(info + n, kPrefix, 6);
  n += 6;
  std::memcpy(info + n, label, labelLength);
  n += labelLength;
  info[n++] = 0;
  return hkdfSha256Expand(secret, info, n, out, length);
}

}  // namespace

bool quicClientInitialKeys(uint32_t version, const uint8_t* dcid, size_t dcidLength, QuicInitialKeys* keys) {
  const bool v2 = version == kQuicVersion2;
  if (version != kQuicVersion1 && !v2) return false;
  uint8_t initial[32], client[32];
  return hkdfSha256Extract(v2 ? kSaltV2 : kSaltV1, 20, dcid, dcidLength, initial) &&
         expandLabel(initial, "client in", client, 32) &&
         expandLabel(client, v2 ? "quicv2 key" : "quic key", keys->key, sizeof keys->key) &&
         expandLabel(client, v2 ? "quicv2 iv" : "quic iv", keys->iv, sizeof keys->iv) &&
         expandLabel(client, v2 ? "quicv2 hp" : "quic hp", keys->hp, sizeof keys->hp);
}
