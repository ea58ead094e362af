// QUIC Initial cryptography on the system's CNG (bcrypt): HMAC-SHA256 for
// HKDF's two steps (RFC 5869; Wine's bcrypt has no HKDF algorithm), AES-128
// in ECB and GCM chaining modes.
#include "platform/quic_crypto.h"

#include <windows.h>
// After windows.h.
#include <bcrypt.h>

#include <cstring>

namespace {

// The algorithm providers, opened once for the life of the process; null when the system has none.
struct Providers {
  BCRYPT_ALG_HANDLE hmac = nullptr;
  BCRYPT_ALG_HANDLE ecb = nullptr;
  BCRYPT_ALG_HANDLE gcm = nullptr;
};

BCRYPT_ALG_HANDLE openAes(const wchar_t* mode) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_AES_ALGORITHM, nullptr, 0))) return nullptr;
  const ULONG modeBytes = static_cast<ULONG>((wcslen(mode) + 1) * sizeof(wchar_t));
  if (!BCRYPT_SUCCESS(BCryptSetProperty(alg, BCRYPT_CHAINING_MODE,
                                        reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)), modeBytes, 0))) {
    BCryptCloseAlgorithmProvider(alg, 0);
    return nullptr;
  }
  return alg;
}

const Providers& providers() {
  static const Providers opened = [] {
    Providers p;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&p.hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
      p.hmac = nullptr;
    }
    p.ecb = openAes(BCRYPT_CHAIN_MODE_ECB);
    p.gcm = openAes(BCRYPT_CHAIN_MODE_GCM);
    return p;
  }();
  return opened;
}

// HMAC-SHA256 under `key` of the concatenation of up to three pieces.
bool hmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* const* pieces, const size_t* lengths, int count,
                uint8_t out[32]) {
  const BCRYPT_ALG_HANDLE alg = providers().hmac;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!alg || !BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, nullptr, 0, const_cast<PUCHAR>(key),
                                               static_cast<ULONG>(keyLength), 0))) {
    return false;
  }
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(pieces[i]), static_cast<ULONG>(lengths[i]), 0));
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, out, 32, 0));
  BCryptDestroyHash(hash);
  return ok;
}

BCRYPT_KEY_HANDLE aesKey(BCRYPT_ALG_HANDLE alg, const uint8_t key[16]) {
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!alg || !BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(alg, &handle, nullptr, 0, const_cast<PUCHAR>(key), 16, 0))) {
    return nullptr;
  }
  return handle;
}

}  // namespace

bool hkdfSha256Extract(const uint8_t* salt, size_t saltLength, const uint8_t* ikm, size_t ikmLength, uint8_t prk[32]) {
  const uint8_t* pieces[] = {ikm};
  const size_t lengths[] = {ikmLength};
  return hmacSha256(salt, saltLength, pieces, lengths, 1, prk);
}

bool hkdfSha256Expand(const uint8_t prk[32], const uint8_t* info, size_t infoLength, uint8_t* out, size_t length) {
  if (length > 255 * 32) return false;
  uint8_t block[32];
  for (size_t done = 0, round = 1; done < length; ++round) {
    // T(n) = HMAC(PRK, T(n-1) | info | n), T(0) empty.
    const uint8_t counter = static_cast<uint8_t>(round);
    const uint8_t* pieces[] = {block, info, &counter};
    const size_t lengths[] = {round == 1 ? 0u : sizeof block, infoLength, 1};
    if (!hmacSha256(prk, 32, pieces, lengths, 3, block)) return false;
    const size_t n = length - done < sizeof block ? length - done : sizeof block;
    std::memcpy(out + done, block, n);
    done += n;
  }
  return true;
}

bool aes128Block(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]) {
  const BCRYPT_KEY_HANDLE handle = aesKey(providers().ecb, key);
  if (!handle) return false;
  ULONG written = 0;
  const bool ok = BCRYPT_SUCCESS(BCryptEncrypt(handle, const_cast<PUCHAR>(in), 16, nullptr, nullptr, 0, out, 16,
                                               &written, 0)) &&
                  written == 16;
  BCryptDestroyKey(handle);
  return ok;
}

bool aes128GcmOpen(const uint8_t key[16], const uint8_t nonce[12], const uint8_t* aad, size_t aadLength,
                   const uint8_t* sealed, size_t sealedLength, uint8_t* plain) {
  if (sealedLength < 16) return false;
  const BCRYPT_KEY_HANDLE handle = aesKey(providers().gcm, key);
  if (!handle) return false;
  const ULONG cipherLength = static_cast<ULONG>(sealedLength - 16);
  uint8_t tag[16];
  std::memcpy(tag, sealed + cipherLength, sizeof tag);
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = const_cast<PUCHAR>(nonce);
  info.cbNonce = 12;
  info.pbAuthData = const_cast<PUCHAR>(aad);
  info.cbAuthData = static_cast<ULONG>(aadLength);
  info.pbTag = tag;
  info.cbTag = sizeof tag;
  ULONG written = 0;
  const bool ok = BCRYPT_SUCCESS(BCryptDecrypt(handle, const_cast<PUCHAR>(sealed), cipherLength, &info, nullptr, 0,
                                               plain, cipherLength, &written, 0)) &&
                  written == cipherLength;
  BCryptDestroyKey(handle);
  return ok;
}
