// The server name a TLS client asks for: read from the ClientHello at the
// start of a TCP client's first payload, or from a handshake message as QUIC
// carries it. Pure; called on the capture thread, and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

// The server name (SNI host_name, lower case) of the TLS ClientHello that a TCP client's first
// payload begins with (record header first). Works on a hello cut short as long as the name is in
// the bytes given. False when there is none.
bool tlsServerName(const uint8_t* payload, size_t length, char name[256], size_t* nameLength);

// The same for a handshake message without the record layer (type 1, 3-byte length, body), as
// QUIC's CRYPTO frames carry it; `length` may stop short of the message's end.
bool clientHelloServerName(const uint8_t* message, size_t length, char name[256], size_t* nameLength);
