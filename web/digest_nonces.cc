#include "web/digest_nonces.h"

#include "platform/crypto.h"

std::string issueNonce(NonceTable& table, uint64_t now) {
  unsigned char bytes[16];
  if (!randomBytes(bytes, sizeof bytes)) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string nonce;
  for (unsigned char b : bytes) {
    nonce += kHex[b >> 4];
    nonce += kHex[b & 15];
  }
  std::lock_guard<std::mutex> lock(table.mutex);
  while (table.order.size() >= kNonceTableSize) {
    table.byNonce.erase(table.order.front());
    table.order.pop_front();
  }
  table.byNonce[nonce] = NonceUses{now, 0, 0};
  table.order.push_back(nonce);
  return nonce;
}

NonceUse useNonce(NonceTable& table, const std::string& nonce, uint32_t count, uint64_t now) {
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.byNonce.find(nonce);
  if (it == table.byNonce.end() || now - it->second.issued > kNonceLifeMillis) return NonceUse::stale;
  NonceUses& uses = it->second;
  if (count == 0) return NonceUse::countUsed;
  if (count > uses.highest) {
    const uint32_t step = count - uses.highest;
    // The old highest becomes bit step - 1 of the counts below.
    uses.below = step > kNonceCountWindow ? 0 : (uses.below << 1 | (uses.highest ? 1 : 0)) << (step - 1);
    uses.highest = count;
    return NonceUse::accepted;
  }
  const uint32_t back = uses.highest - count;  // 0 is the highest itself
  if (back == 0 || back > kNonceCountWindow) return NonceUse::countUsed;
  const uint64_t bit = uint64_t(1) << (back - 1);
  if (uses.below & bit) return NonceUse::countUsed;
  uses.below |= bit;
  return NonceUse::accepted;
}
