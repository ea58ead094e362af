#include "platform/tls_certificate.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kNow = 1'800'000'000;  // 2027-01-15
constexpr int64_t kYear = 365 * 86400;

TEST(TlsCertificate, MadePairIsCheckedForMatchReadabilityAndTime) {
  TlsPair made, other;
  std::string error;
  ASSERT_TRUE(makeSelfSignedCertificate({"host.example", "localhost"}, {"127.0.0.1", "::1", "not an address"}, kNow,
                                        made, error))
      << error;
  ASSERT_TRUE(makeSelfSignedCertificate({"other"}, {}, kNow, other, error)) << error;
  struct Row {
    const char* what;
    TlsPair pair;
    int64_t at;
    const char* error;  // "" when accepted
  };
  const Row rows[] = {
      {"as made", made, kNow, ""},
      {"nine years on", made, kNow + 9 * kYear, ""},
      {"eleven years on", made, kNow + 11 * kYear, "the certificate has expired"},
      {"two days before", made, kNow - 2 * 86400, "the certificate is not valid yet"},
      {"another key", {made.certificatePem, other.keyPem}, kNow, "the key does not belong to the certificate"},
      {"key in the certificate's place", {made.keyPem, made.keyPem}, kNow, "the certificate cannot be read"},
      {"empty key", {made.certificatePem, ""}, kNow, "the key cannot be read"},
      {"cut certificate", {made.certificatePem.substr(0, 200), made.keyPem}, kNow, "the certificate cannot be read"},
  };
  for (const Row& row : rows) {
    error.clear();
    EXPECT_EQ(checkCertificatePair(row.pair, row.at, error), *row.error == '\0') << row.what << ": " << error;
    EXPECT_EQ(error.substr(0, strlen(row.error)), row.error) << row.what;
  }
  const std::string fingerprint = certificateFingerprint(made.certificatePem);
  EXPECT_EQ(fingerprint.size(), 32u * 3 - 1) << fingerprint;
  EXPECT_NE(fingerprint, certificateFingerprint(other.certificatePem));
  EXPECT_EQ(certificateFingerprint("junk"), "");
}

}  // namespace
