// Certificates for the web interface's HTTPS: a self-signed one made for this
// host, and the check of a certificate and key read from files (GnuTLS on
// Linux). The Windows build carries no TLS library: there every call says so.
// Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A certificate and its private key, in PEM.
struct TlsPair {
  std::string certificatePem;
  std::string keyPem;
};

// Whether this build can serve HTTPS; when not, `why` says why.
bool tlsAvailable(std::string& why);

// A new ECDSA P-256 key and a certificate signed with it, named `names[0]`,
// for the host names `names` and the IPv4 or IPv6 addresses `addresses`
// (texts; unreadable ones are left out), valid from a day before `now` (s
// since 1970) for ten years. False with the reason in `error`.
bool makeSelfSignedCertificate(const std::vector<std::string>& names, const std::vector<std::string>& addresses,
                               int64_t now, TlsPair& pair, std::string& error);

// True when the certificate and the key can be read, belong together and the
// certificate is valid at `now`; otherwise false with the reason in `error`
// ("the certificate has expired", ...).
bool checkCertificatePair(const TlsPair& pair, int64_t now, std::string& error);

// The SHA-256 fingerprint of a certificate as the browsers show it:
// upper-case hexadecimal pairs joined by ':'; empty when unreadable.
std::string certificateFingerprint(const std::string& certificatePem);

// This host's name; empty when the system gives none.
std::string hostName();
