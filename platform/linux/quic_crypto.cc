// QUIC Initial cryptography on GnuTLS.
#include "platform/quic_crypto.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

namespace {

gnutls_datum_t datum(const uint8_t* data, size_t length) {
  return gnutls_datum_t{const_cast<unsigned char*>(data), static_cast<unsigned int>(length)};
}

}  // namespace

bool hkdfSha256Extract(const uint8_t* salt, size_t saltLength, const uint8_t* ikm, size_t ikmLength, uint8_t prk[32]) {
  const gnutls_datum_t key = datum(ikm, ikmLength);
  const gnutls_datum_t saltDatum = datum(salt, saltLength);
  return gnutls_hkdf_extract(GNUTLS_MAC_SHA256, &key, &saltDatum, prk) == 0;
}

bool hkdfSha256Expand(const uint8_t prk[32], const uint8_t* info, size_t infoLength, uint8_t* out, size_t length) {
  const gnutls_datum_t key = datum(prk, 32);
  const gnutls_datum_t infoDatum = datum(info, infoLength);
  return gnutls_hkdf_expand(GNUTLS_MAC_SHA256, &key, &infoDatum, out, length) == 0;
}

bool aes128Block(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]) {
  // One block of CBC from a zero IV is the block cipher itself.
  static const uint8_t kZeroIv[16] = {};
  const gnutls_datum_t keyDatum = datum(key, 16);
  const gnutls_datum_t iv = datum(kZeroIv, 16);
  gnutls_cipher_hd_t cipher;
  if (gnutls_cipher_init(&cipher, GNUTLS_CIPHER_AES_128_CBC, &keyDatum, &iv) != 0) return false;
  const bool ok = gnutls_cipher_encrypt2(cipher, in, 16, out, 16) == 0;
  gnutls_cipher_deinit(cipher);
  return ok;
}

bool aes128GcmOpen(const uint8_t key[16], const uint8_t nonce[12], const uint8_t* aad, size_t aadLength,
                   const uint8_t* sealed, size_t sealedLength, uint8_t* plain) {
  if (sealedLength < 16) return false;
  const gnutls_datum_t keyDatum = datum(key, 16);
  gnutls_aead_cipher_hd_t cipher;
  if (gnutls_aead_cipher_init(&cipher, GNUTLS_CIPHER_AES_128_GCM, &keyDatum) != 0) return false;
  size_t plainLength = sealedLength - 16;
  const bool ok = gnutls_aead_cipher_decrypt(cipher, nonce, 12, aad, aadLength, 16, sealed, sealedLength, plain,
                                             &plainLength) == 0 &&
                  plainLength == sealedLength - 16;
  gnutls_aead_cipher_deinit(cipher);
  return ok;
}
