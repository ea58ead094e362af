#include "flow/decode.h"

// Placeholder until packet decoding lands.
void decodePacket(const uint8_t*, size_t, uint32_t, uint64_t) {}
