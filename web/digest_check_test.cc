#include "web/digest_check.h"

#include <gtest/gtest.h>

namespace {

TEST(Md5, KnownDigests) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
  };
  for (const auto& [input, digest] : rows) EXPECT_EQ(md5Hex(input), digest) << input.size() << " bytes";
}

TEST(DigestAnswerIsRight, OnlyTheRightPasswordForTheRightUser) {
  // The worked example of RFC 2617, section 3.5.
  const std::string header =
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "uri=\"/dir/index.html\", qop=auth, nc=00000001, cnonce=\"0a4f113b\", "
      "response=\"6629fae49393a05397450978507c4ef1\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";
  struct Row {
    std::string header, method, user, password, realm;
    bool right;
  };
  const Row rows[] = {
      {header, "GET", "Mufasa", "Circle Of Life", "testrealm@host.com", true},
      {header + ", algorithm=md5", "GET", "Mufasa", "Circle Of Life", "testrealm@host.com", true},
      {header, "GET", "Mufasa", "Circle of Life", "testrealm@host.com", false},
      {header, "GET", "mufasa", "Circle Of Life", "testrealm@host.com", false},
      {header, "POST", "Mufasa", "Circle Of Life", "testrealm@host.com", false},
      {header, "GET", "Mufasa", "Circle Of Life", "other@host.com", false},
      {header + ", algorithm=SHA-256", "GET", "Mufasa", "Circle Of Life", "testrealm@host.com", false},
      {"Basic TXVmYXNhOkNpcmNsZSBPZiBMaWZl", "GET", "Mufasa", "Circle Of Life", "testrealm@host.com", false},
      {"Digest", "GET", "", "", "", false},
      {"Digest username=\"unterminated", "GET", "unterminated", "", "", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(digestAnswerIsRight(row.header, row.method, row.user, row.password, row.realm), row.right)
        << row.header << " / " << row.method << " " << row.user << ":" << row.password;
  }
}

}  // namespace
