#include "capture/names/quic_initial.h"

#include <cstring>

#include "capture/names/tls_hello.h"
#include "platform/quic_crypto.h"

namespace {

constexpr size_t kMaxConnectionId = 20;
constexpr size_t kSampleLength = 16;
constexpr size_t kTagLength = 16;

constexpr uint8_t kFramePadding = 0x00, kFramePing = 0x01, kFrameAck = 0x02, kFrameAckEcn = 0x03,
                  kFrameCrypto = 0x06;

// A variable-length integer (RFC 9000 section 16) at `*pos`, moving past it.
bool varint(const uint8_t* data, size_t length, size_t* pos, uint64_t* value) {
  if (*pos >= length) return false;
  const size_t size = size_t{1} << (data[*pos] >> 6);
  if (size > length - *pos) return false;
  uint64_t v = data[*pos] & 0x3f;
  for (size_t i = 1; i < size; ++i) v = v << 8 | data[*pos + i];
  *pos += size;
  *value = v;
  return true;
}

// Where one long-header packet's parts stand in the datagram.
struct LongPacket {
  uint32_t version = 0;
  bool initial = false;
  const uint8_t* dcid = nullptr;
  size_t dcidLength = 0;
  size_t pnOffset = 0;  // packet number, from the packet's start
  size_t end = 0;       // the packet's end, from the packet's start
};

bool readLongHeader(const uint8_t* p, size_t length, LongPacket* out) {
  if (length < 7 || !(p[0] & 0x80)) return false;
  out->version = static_cast<uint32_t>(p[1]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                 static_cast<uint32_t>(p[3]) << 8 | p[4];
  const uint8_t type = (p[0] >> 4) & 0x03;
  // Initial is type 0 in version 1 and type 1 in version 2.
  if (out->version == kQuicVersion1) {
    out->initial = type == 0;
  } else if (out->version == kQuicVersion2) {
    out->initial = type == 1;
  } else {
    return false;
  }
  size_t pos = 5;
  out->dcidLength = p[pos++];
  if (out->dcidLength > kMaxConnectionId || out->dcidLength > length - pos) return false;
  out->dcid = p + pos;
  pos += out->dcidLength;
  if (pos >= length) return false;
  const size_t scidLength = p[pos++];
  if (scidLength > kMaxConnectionId || scidLength > length - pos) return false;
  pos += scidLength;
  uint64_t tokenLength = 0, packetLength = 0;
  if (out->initial) {
    if (!varint(p, length, &pos, &tokenLength) || tokenLength > length - pos) return false;
    pos += tokenLength;
  }
  if (!varint(p, length, &pos, &packetLength) || packetLength > length - pos) return false;
  out->pnOffset = pos;
  out->end = pos + packetLength;
  return true;
}

// Steps over the body of an ACK frame (its type already read).
bool skipAck(const uint8_t* data, size_t length, size_t* pos, bool ecn) {
  uint64_t largest, delay, ranges, first, v;
  if (!varint(data, length, pos, &largest) || !varint(data, length, pos, &delay) ||
      !varint(data, length, pos, &ranges) || !varint(data, length, pos, &first)) {
    return false;
  }
  if (ranges > length) return false;
  for (uint64_t i = 0; i < ranges * 2; ++i) {
    if (!varint(data, length, pos, &v)) return false;
  }
  for (int i = 0; ecn && i < 3; ++i) {
    if (!varint(data, length, pos, &v)) return false;
  }
  return true;
}

// Collects the CRYPTO frames of a decrypted payload into `stream` by offset (PADDING, PING and ACK
// stepped over; any other frame ends the walk) and says how many bytes from offset 0 are in place.
size_t cryptoStream(const uint8_t* frames, size_t length, uint8_t* stream, bool* filled) {
  size_t pos = 0;
  while (pos < length) {
    const uint8_t type = frames[pos++];
    if (type == kFramePadding || type == kFramePing) continue;
    if (type == kFrameAck || type == kFrameAckEcn) {
      if (!skipAck(frames, length, &pos, type == kFrameAckEcn)) break;
      continue;
    }
    if (type != kFrameCrypto) break;
    uint64_t offset = 0, size = 0;
    if (!varint(frames, length, &pos, &offset) || !varint(frames, length, &pos, &size) || size > length - pos) break;
    if (offset < kQuicMaxCryptoBytes) {
      const size_t kept = static_cast<size_t>(size < kQuicMaxCryptoBytes - offset ? size : kQuicMaxCryptoBytes - offset);
      std::memcpy(stream + offset, frames + pos, kept);
      std::memset(filled + offset, 1, kept);
    }
    pos += size;
  }
  size_t contiguous = 0;
  while (contiguous < kQuicMaxCryptoBytes && filled[contiguous]) ++contiguous;
  return contiguous;
}

// The server name of one client Initial packet: `packet` holds exactly the packet.
bool initialServerName(const uint8_t* packet, const LongPacket& header, char name[256], size_t* nameLength) {
  if (header.end > kQuicMaxInitialPacket || header.end < header.pnOffset + 4 + kSampleLength) return false;
  QuicInitialKeys keys;
  if (!quicClientInitialKeys(header.version, header.dcid, header.dcidLength, &keys)) return false;
  // Header protection: the sample starts 4 bytes after the packet number's start.
  uint8_t mask[16];
  if (!aes128Block(keys.hp, packet + header.pnOffset + 4, mask)) return false;
  uint8_t unprotected[kQuicMaxInitialPacket];
  std::memcpy(unprotected, packet, header.end);
  unprotected[0] ^= mask[0] & 0x0f;
  const size_t pnLength = (unprotected[0] & 0x03) + 1;
  uint8_t nonce[12];
  std::memcpy(nonce, keys.iv, sizeof nonce);
  for (size_t i = 0; i < pnLength; ++i) {
    unprotected[header.pnOffset + i] ^= mask[1 + i];
    nonce[12 - pnLength + i] ^= unprotected[header.pnOffset + i];
  }
  const size_t headerLength = header.pnOffset + pnLength;
  if (header.end - headerLength < kTagLength) return false;
  uint8_t plain[kQuicMaxInitialPacket];
  const size_t plainLength = header.end - headerLength - kTagLength;
  if (!aes128GcmOpen(keys.key, nonce, unprotected, headerLength, packet + headerLength, header.end - headerLength,
                     plain)) {
    return false;
  }
  return quicCryptoFramesServerName(plain, plainLength, name, nameLength);
}

}  // namespace

bool quicCryptoFramesServerName(const uint8_t* frames, size_t length, char name[256], size_t* nameLength) {
  uint8_t stream[kQuicMaxCryptoBytes];
  bool filled[kQuicMaxCryptoBytes] = {};
  const size_t streamLength = cryptoStream(frames, length, stream, filled);
  return clientHelloServerName(stream, streamLength, name, nameLength);
}

bool quicServerName(const uint8_t* payload, size_t length, char name[256], size_t* nameLength) {
  // Packets coalesced in one datagram: the first Initial among the long-header packets at its start.
  size_t start = 0;
  while (start < length) {
    LongPacket header;
    if (!readLongHeader(payload + start, length - start, &header)) return false;
    if (header.initial) return initialServerName(payload + start, header, name, nameLength);
    start += header.end;
  }
  return false;
}
