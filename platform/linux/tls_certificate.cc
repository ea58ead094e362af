#include "platform/tls_certificate.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <unistd.h>

#include <cstring>

#include "platform/crypto.h"

namespace {

constexpr int64_t kDaySeconds = 86400;
constexpr int64_t kValiditySeconds = 10 * 365 * kDaySeconds;

// GnuTLS objects released at the end of the scope.
struct Certificate {
  gnutls_x509_crt_t handle = nullptr;
  Certificate() { gnutls_x509_crt_init(&handle); }
  ~Certificate() { gnutls_x509_crt_deinit(handle); }
};
struct PrivateKey {
  gnutls_x509_privkey_t handle = nullptr;
  PrivateKey() { gnutls_x509_privkey_init(&handle); }
  ~PrivateKey() { gnutls_x509_privkey_deinit(handle); }
};

gnutls_datum_t datumOf(const std::string& text) {
  return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                        static_cast<unsigned>(text.size())};
}

// False, with `what` and GnuTLS's reason in `error`, when `result` is an error.
bool ok(int result, const char* what, std::string& error) {
  if (result >= 0) return true;
  error = std::string(what) + ": " + gnutls_strerror(result);
  return false;
}

std::string takeDatum(gnutls_datum_t& datum) {
  std::string text(reinterpret_cast<const char*>(datum.data), datum.size);
  gnutls_free(datum.data);
  return text;
}

bool importCertificate(Certificate& crt, const std::string& pem, std::string& error) {
  const gnutls_datum_t data = datumOf(pem);
  return crt.handle != nullptr && ok(gnutls_x509_crt_import(crt.handle, &data, GNUTLS_X509_FMT_PEM),
                                     "the certificate cannot be read", error);
}

}  // namespace

bool tlsAvailable(std::string& why) {
  why.clear();
  return true;
}

bool makeSelfSignedCertificate(const std::vector<std::string>& names, const std::vector<std::string>& addresses,
                               int64_t now, TlsPair& pair, std::string& error) {
  PrivateKey key;
  Certificate crt;
  if (key.handle == nullptr || crt.handle == nullptr || names.empty()) {
    error = "no room for a certificate";
    return false;
  }
  if (!ok(gnutls_x509_privkey_generate(key.handle, GNUTLS_PK_ECDSA,
                                        GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
          "no key could be made", error)) {
    return false;
  }
  unsigned char serial[16];
  if (!randomBytes(serial, sizeof serial)) {
    error = "no random serial number";
    return false;
  }
  serial[0] &= 0x7f;  // a positive number
  const std::string& name = names.front();
  bool made = ok(gnutls_x509_crt_set_version(crt.handle, 3), "version", error) &&
              ok(gnutls_x509_crt_set_serial(crt.handle, serial, sizeof serial), "serial", error) &&
              ok(gnutls_x509_crt_set_activation_time(crt.handle, static_cast<time_t>(now - kDaySeconds)), "start",
                 error) &&
              ok(gnutls_x509_crt_set_expiration_time(crt.handle, static_cast<time_t>(now + kValiditySeconds)), "end",
                 error) &&
              ok(gnutls_x509_crt_set_dn_by_oid(crt.handle, GNUTLS_OID_X520_COMMON_NAME, 0, name.data(),
                                               static_cast<unsigned>(name.size())),
                 "name", error) &&
              ok(gnutls_x509_crt_set_key(crt.handle, key.handle), "key", error) &&
              ok(gnutls_x509_crt_set_basic_constraints(crt.handle, 0, -1), "constraints", error) &&
              ok(gnutls_x509_crt_set_key_usage(crt.handle, GNUTLS_KEY_DIGITAL_SIGNATURE), "key usage", error) &&
              ok(gnutls_x509_crt_set_key_purpose_oid(crt.handle, GNUTLS_KP_TLS_WWW_SERVER, 0), "purpose", error);
  for (const std::string& n : names) {
    if (!made) break;
    made = ok(gnutls_x509_crt_set_subject_alt_name(crt.handle, GNUTLS_SAN_DNSNAME, n.data(),
                                                   static_cast<unsigned>(n.size()), GNUTLS_FSAN_APPEND),
              "host name", error);
  }
  for (const std::string& a : addresses) {
    if (!made) break;
    unsigned char bytes[16];
    unsigned size = 0;
    if (inet_pton(AF_INET, a.c_str(), bytes) == 1) size = 4;
    else if (inet_pton(AF_INET6, a.c_str(), bytes) == 1) size = 16;
    if (size == 0) continue;
    made = ok(gnutls_x509_crt_set_subject_alt_name(crt.handle, GNUTLS_SAN_IPADDRESS, bytes, size, GNUTLS_FSAN_APPEND),
              "address", error);
  }
  if (!made || !ok(gnutls_x509_crt_sign2(crt.handle, crt.handle, key.handle, GNUTLS_DIG_SHA256, 0),
                   "the certificate cannot be signed", error)) {
    return false;
  }
  gnutls_datum_t crtPem{}, keyPem{};
  if (!ok(gnutls_x509_crt_export2(crt.handle, GNUTLS_X509_FMT_PEM, &crtPem), "certificate text", error)) return false;
  pair.certificatePem = takeDatum(crtPem);
  if (!ok(gnutls_x509_privkey_export2(key.handle, GNUTLS_X509_FMT_PEM, &keyPem), "key text", error)) return false;
  pair.keyPem = takeDatum(keyPem);
  return true;
}

bool checkCertificatePair(const TlsPair& pair, int64_t now, std::string& error) {
  Certificate crt;
  PrivateKey key;
  if (!importCertificate(crt, pair.certificatePem, error)) return false;
  const gnutls_datum_t keyData = datumOf(pair.keyPem);
  if (key.handle == nullptr ||
      !ok(gnutls_x509_privkey_import2(key.handle, &keyData, GNUTLS_X509_FMT_PEM, nullptr, 0),
          "the key cannot be read", error)) {
    return false;
  }
  unsigned char crtId[64], keyId[64];
  size_t crtIdSize = sizeof crtId, keyIdSize = sizeof keyId;
  if (!ok(gnutls_x509_crt_get_key_id(crt.handle, 0, crtId, &crtIdSize), "the certificate's key cannot be read",
          error) ||
      !ok(gnutls_x509_privkey_get_key_id(key.handle, 0, keyId, &keyIdSize), "the key cannot be read", error)) {
    return false;
  }
  if (crtIdSize != keyIdSize || memcmp(crtId, keyId, crtIdSize) != 0) {
    error = "the key does not belong to the certificate";
    return false;
  }
  if (gnutls_x509_crt_get_expiration_time(crt.handle) <= static_cast<time_t>(now)) {
    error = "the certificate has expired";
    return false;
  }
  if (gnutls_x509_crt_get_activation_time(crt.handle) > static_cast<time_t>(now)) {
    error = "the certificate is not valid yet";
    return false;
  }
  return true;
}

std::string certificateFingerprint(const std::string& certificatePem) {
  Certificate crt;
  std::string error;
  if (!importCertificate(crt, certificatePem, error)) return {};
  unsigned char digest[32];
  size_t size = sizeof digest;
  if (gnutls_x509_crt_get_fingerprint(crt.handle, GNUTLS_DIG_SHA256, digest, &size) < 0) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (i) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string hostName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}
