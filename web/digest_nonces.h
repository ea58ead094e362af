// The nonces of the web interface's Digest challenges: each challenge gets a
// nonce of its own, and each nonce is accepted once per nonce count, so many
// clients signing in at once never take each other's. Any thread: the table
// holds its own lock.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// At most this many nonces are remembered; the oldest goes first.
inline constexpr size_t kNonceTableSize = 4096;
// A nonce older than this is refused as stale.
inline constexpr uint64_t kNonceLifeMillis = 300000;
// Counts up to this far below the highest one seen are still accepted once,
// for a client that sends several requests at once on one nonce.
inline constexpr uint32_t kNonceCountWindow = 64;

struct NonceUses {
  uint64_t issued = 0;  // ms since 1970
  uint32_t highest = 0;  // highest count accepted; 0 before the first
  uint64_t below = 0;    // bit i: count highest - 1 - i accepted
};

struct NonceTable {
  std::mutex mutex;  // guards byNonce and order
  std::unordered_map<std::string, NonceUses> byNonce;
  std::deque<std::string> order;  // oldest first
};

// A new nonce (32 hexadecimal digits from the system's random bytes),
// remembered as issued at `now`; empty when there are no random bytes.
std::string issueNonce(NonceTable& table, uint64_t now);

enum class NonceUse {
  accepted,     // issued here, fresh, and this count not used yet
  stale,        // not issued here, expired, or pushed out of the table
  countUsed,    // this count was accepted before, or lies below the window
};

// Records one use of `nonce` with `count` (1 or more) at `now`.
NonceUse useNonce(NonceTable& table, const std::string& nonce, uint32_t count, uint64_t now);
