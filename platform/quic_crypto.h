// The cryptography that reading a QUIC client Initial packet needs: its keys
// from the destination connection id (RFC 9001 section 5.2, RFC 9369 for
// version 2), the header-protection mask and AES-128-GCM opening. Backed by
// the system's library (GnuTLS on Linux, CNG on Windows); any thread.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kQuicVersion1 = 0x00000001;
inline constexpr uint32_t kQuicVersion2 = 0x6b3343cf;

// The client's Initial packet protection of one connection.
struct QuicInitialKeys {
  uint8_t key[16];  // AES-128-GCM key
  uint8_t iv[12];   // nonce base: the packet number is XORed into its last bytes
  uint8_t hp[16];   // header-protection key (AES-128)
};

// The client Initial keys of QUIC `version` (kQuicVersion1 or kQuicVersion2) for the destination
// connection id `dcid`. False for another version or when the library fails.
bool quicClientInitialKeys(uint32_t version, const uint8_t* dcid, size_t dcidLength, QuicInitialKeys* keys);

// HKDF with SHA-256 (RFC 5869): the pseudorandom key of `ikm` under `salt`, and `length` bytes
// (at most 255 * 32) expanded from it with `info`.
bool hkdfSha256Extract(const uint8_t* salt, size_t saltLength, const uint8_t* ikm, size_t ikmLength, uint8_t prk[32]);
bool hkdfSha256Expand(const uint8_t prk[32], const uint8_t* info, size_t infoLength, uint8_t* out, size_t length);

// AES-128 of one 16-byte block under `key` (ECB): the header-protection mask of a sample.
bool aes128Block(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]);

// Opens AES-128-GCM `sealed` (ciphertext followed by its 16-byte tag) into `plain`
// (sealedLength - 16 bytes). False when the tag does not match or the input is shorter than a tag.
bool aes128GcmOpen(const uint8_t key[16], const uint8_t nonce[12], const uint8_t* aad, size_t aadLength,
                   const uint8_t* sealed, size_t sealedLength, uint8_t* plain);
