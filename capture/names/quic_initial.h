// The server name a QUIC client asks for: read from the ClientHello in its
// Initial packet once the packet's protection is removed. Pure apart from the
// cryptography asked of platform/; called on the capture thread, and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

// Initial packets longer than this are not read.
inline constexpr size_t kQuicMaxInitialPacket = 4096;
// CRYPTO stream bytes put together from one packet, from offset 0.
inline constexpr size_t kQuicMaxCryptoBytes = 4096;

// The server name of the ClientHello in a QUIC client Initial packet (QUIC v1 and v2, header
// protection and packet protection removed with keys derived from the client's destination
// connection id; CRYPTO frames of the packet put together by offset). `payload` is the UDP payload.
bool quicServerName(const uint8_t* payload, size_t length, char name[256], size_t* nameLength);

// The server name of the ClientHello in the CRYPTO frames of a decrypted Initial payload (PADDING,
// PING and ACK frames stepped over, any other frame ends the walk; CRYPTO data put together by
// offset, the first kQuicMaxCryptoBytes bytes of the stream at most).
bool quicCryptoFramesServerName(const uint8_t* frames, size_t length, char name[256], size_t* nameLength);
