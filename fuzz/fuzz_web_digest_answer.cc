// An Authorization header through the Digest sign-in: parsed, its nonce
// count read, its answer checked for a fixed user and password, and the
// nonce taken from a table that issued one nonce.
#include <cstdint>
#include <string>
#include <string_view>

#include "web/digest_check.h"
#include "web/digest_nonces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NonceTable table;
  static const std::string issued = issueNonce(table, 0);
  const std::string_view header(reinterpret_cast<const char*>(data), size);
  DigestAnswer answer;
  if (!parseDigestAnswer(header, answer)) return 0;
  const uint32_t count = digestNonceCount(answer);
  if (digestAnswerIsRight(answer, "GET", "admin", "qolpe", "admin@vantrel") && count != 0) {
    useNonce(table, answer.nonce == "issued" ? issued : answer.nonce, count, 1000);
  }
  return 0;
}
