#include "platform/crypto.h"

#include <windows.h>
#include <wincrypt.h>

namespace {

// The system's AES provider, which also hashes with SHA-256; opened once.
HCRYPTPROV provider() {
  static const HCRYPTPROV handle = [] {
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) return HCRYPTPROV(0);
    return p;
  }();
  return handle;
}

std::string hashHex(ALG_ID algorithm, std::string_view data) {
  HCRYPTPROV p = provider();
  HCRYPTHASH hash = 0;
  if (p == 0 || !CryptCreateHash(p, algorithm, 0, 0, &hash)) return {};
  BYTE digest[64];
  DWORD size = sizeof digest;
  const bool ok = CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
                  CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
  CryptDestroyHash(hash);
  if (!ok) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (DWORD i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5Hex(std::string_view data) { return hashHex(CALG_MD5, data); }

std::string sha256Hex(std::string_view data) { return hashHex(CALG_SHA_256, data); }

bool randomBytes(void* out, size_t size) {
  HCRYPTPROV p = provider();
  return p != 0 && CryptGenRandom(p, static_cast<DWORD>(size), static_cast<BYTE*>(out));
}
