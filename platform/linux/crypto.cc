#include "platform/crypto.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

namespace {

std::string hashHex(gnutls_digest_algorithm_t algorithm, std::string_view data) {
  unsigned char digest[64];
  const unsigned size = gnutls_hash_get_len(algorithm);
  if (size == 0 || size > sizeof digest) return {};
  if (gnutls_hash_fast(algorithm, data.data(), data.size(), digest) != 0) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (unsigned i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5Hex(std::string_view data) { return hashHex(GNUTLS_DIG_MD5, data); }

std::string sha256Hex(std::string_view data) { return hashHex(GNUTLS_DIG_SHA256, data); }

bool randomBytes(void* out, size_t size) { return gnutls_rnd(GNUTLS_RND_NONCE, out, size) == 0; }
