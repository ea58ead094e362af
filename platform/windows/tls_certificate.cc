#include "platform/tls_certificate.h"

#include <winsock2.h>

namespace {

constexpr const char* kNoTls =
    "the Windows build carries no TLS library (GnuTLS and what it needs are not built for Windows)";

}  // namespace

bool tlsAvailable(std::string& why) {
  why = kNoTls;
  return false;
}

bool makeSelfSignedCertificate(const std::vector<std::string>&, const std::vector<std::string>&, int64_t, TlsPair&,
                               std::string& error) {
  error = kNoTls;
  return false;
}

bool checkCertificatePair(const TlsPair&, int64_t, std::string& error) {
  error = kNoTls;
  return false;
}

std::string certificateFingerprint(const std::string&) { return {}; }

std::string hostName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}
