#include "web/digest_check.h"

#include <gtest/gtest.h>

namespace {

// The worked example of RFC 7616, section 3.9.1, answered with MD5 and with
// SHA-256.
const std::string kAnswer =
    "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", uri=\"/dir/index.html\", "
    "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", nc=00000001, "
    "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\", qop=auth, "
    "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\", ";
const std::string kMd5 = kAnswer + "algorithm=MD5, response=\"8ca523f5e9506fed4657c9700eebdbec\"";
const std::string kSha256 =
    kAnswer + "algorithm=SHA-256, response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\"";

TEST(DigestAnswerIsRight, OnlyTheRightPasswordForTheRightUserMethodAndRealm) {
  struct Row {
    std::string header, method, user, password;
    bool right;
  };
  const Row rows[] = {
      {kMd5, "GET", "Mufasa", "Circle of Life", true},
      {kSha256, "GET", "Mufasa", "Circle of Life", true},
      {kAnswer + "algorithm=md5, response=\"8CA523F5E9506FED4657C9700EEBDBEC\"", "GET", "Mufasa", "Circle of Life",
       true},
      {kMd5, "GET", "Mufasa", "Circle Of Life", false},
      {kSha256, "GET", "Mufasa", "Circle Of Life", false},
      {kMd5, "GET", "mufasa", "Circle of Life", false},
      {kMd5, "POST", "Mufasa", "Circle of Life", false},
      {kAnswer + "algorithm=SHA-256, response=\"8ca523f5e9506fed4657c9700eebdbec\"", "GET", "Mufasa",
       "Circle of Life", false},
      {kAnswer + "algorithm=MD5-sess, response=\"8ca523f5e9506fed4657c9700eebdbec\"", "GET", "Mufasa",
       "Circle of Life", false},
  };
  for (const Row& row : rows) {
    DigestAnswer answer;
    ASSERT_TRUE(parseDigestAnswer(row.header, answer)) << row.header;
    EXPECT_EQ(digestAnswerIsRight(answer, row.method, row.user, row.password, "http-auth@example.org"), row.right)
        << row.header << " / " << row.method << " " << row.user << ":" << row.password;
  }
  DigestAnswer answer;
  ASSERT_TRUE(parseDigestAnswer(kMd5, answer));
  EXPECT_FALSE(digestAnswerIsRight(answer, "GET", "Mufasa", "Circle of Life", "other@example.org"));
}

TEST(ParseDigestAnswer, ReadsOrRefusesHeaders) {
  struct Row {
    std::string header;
    bool readable;
    const char* nc;  // as read, when readable
    uint32_t count;
  };
  const Row rows[] = {
      {kMd5, true, "00000001", 1},
      {"digest USERNAME=\"a\", Realm=r, nonce=\"n\", uri=\"/\", response=\"x\"", true, "", 1},
      {"Digest username=\"a\\\"b\", realm=\"r\", nonce=\"n\", uri=\"/\", response=x, qop=auth, nc=0000000f, "
       "cnonce=c",
       true, "0000000f", 15},
      {"Digest username=\"a\", realm=\"r\", nonce=\"n\", uri=\"/\", response=x, qop=auth, nc=zz, cnonce=c", true,
       "zz", 0},
      {"Digest username=\"a\", realm=\"r\", nonce=\"n\", uri=\"/\", response=x, qop=auth, nc=123456789, cnonce=c",
       true, "123456789", 0},
      {"Digest username=\"a\", realm=\"r\", nonce=\"n\", uri=\"/\", response=x, qop=auth, cnonce=c", false, "", 0},
      {"Digest username=\"a\", realm=\"r\", nonce=\"n\", uri=\"/\"", false, "", 0},
      {"Digest username=\"unterminated", false, "", 0},
      {"Digest username", false, "", 0},
      {"Digest", false, "", 0},
      {"Basic TXVmYXNhOkNpcmNsZSBPZiBMaWZl", false, "", 0},
      {"", false, "", 0},
  };
  for (const Row& row : rows) {
    DigestAnswer answer;
    EXPECT_EQ(parseDigestAnswer(row.header, answer), row.readable) << row.header;
    if (!row.readable) continue;
    EXPECT_EQ(answer.nc, row.nc) << row.header;
    EXPECT_EQ(digestNonceCount(answer), row.count) << row.header;
  }
  DigestAnswer answer;
  ASSERT_TRUE(parseDigestAnswer(
      "Digest username=\"a\\\"b\", realm=\"r\", nonce=\"n\", uri=\"/x?y=1,2\", response=x", answer));
  EXPECT_EQ(answer.username, "a\"b");
  EXPECT_EQ(answer.uri, "/x?y=1,2") << "a comma inside quotes is part of the value";
}

}  // namespace
