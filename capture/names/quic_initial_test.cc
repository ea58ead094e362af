#include "capture/names/quic_initial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/names/quic_test_vectors.h"
#include "platform/quic_crypto.h"

namespace {

std::string hex(const uint8_t* data, size_t length) {
  std::string text;
  char byte[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    text += byte;
  }
  return text;
}

TEST(QuicInitial, DerivesTheKeysOfBothVersions) {
  const uint8_t dcid[8] = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
  struct Case {
    uint32_t version;
    const char *key, *iv, *hp;
  };
  const Case cases[] = {
      {kQuicVersion1, "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c", "9f50449e04a0e810283a1e9933adedd2"},
      {kQuicVersion2, "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f", "45b95e15235d6f45a6b19cbcb0294ba9"},
  };
  for (const Case& c : cases) {
    QuicInitialKeys keys;
    ASSERT_TRUE(quicClientInitialKeys(c.version, dcid, sizeof dcid, &keys)) << c.version;
    EXPECT_EQ(hex(keys.key, 16), c.key) << c.version;
    EXPECT_EQ(hex(keys.iv, 12), c.iv) << c.version;
    EXPECT_EQ(hex(keys.hp, 16), c.hp) << c.version;
  }
  QuicInitialKeys keys;
  EXPECT_FALSE(quicClientInitialKeys(0xff00001d, dcid, sizeof dcid, &keys));
}

TEST(QuicInitial, ReadsTheServerNameOfClientInitials) {
  const std::vector<uint8_t> v1 = quicTestBytes(kQuicTestV1ClientInitial);
  const std::vector<uint8_t> v2 = quicTestBytes(kQuicTestV2ClientInitial);
  ASSERT_EQ(v1.size(), 1200u);
  ASSERT_EQ(v2.size(), 1200u);
  // A version 1 Handshake-typed packet of 30 bytes, then the Initial, in one datagram.
  std::vector<uint8_t> coalesced = {0xe0, 0, 0, 0, 1, 0, 0, 24};
  coalesced.resize(8 + 24);
  coalesced.insert(coalesced.end(), v1.begin(), v1.end());
  struct Case {
    const char* what;
    std::vector<uint8_t> datagram;
    bool named;
  };
  std::vector<Case> cases = {{"version 1", v1, true}, {"version 2", v2, true}, {"after a Handshake packet", coalesced, true}};
  Case flipped{"one ciphertext bit changed", v1, false};
  flipped.datagram[600] ^= 0x01;
  cases.push_back(flipped);
  Case versionSwapped{"version 1 packet read as version 2", v1, false};
  versionSwapped.datagram[0] = 0xd0;
  versionSwapped.datagram[1] = 0x6b, versionSwapped.datagram[2] = 0x33, versionSwapped.datagram[3] = 0x43,
  versionSwapped.datagram[4] = 0xcf;
  cases.push_back(versionSwapped);
  Case shortHeader{"short header", v1, false};
  shortHeader.datagram[0] = 0x40;
  cases.push_back(shortHeader);
  Case cut{"datagram cut short", {v1.begin(), v1.begin() + 1000}, false};
  cases.push_back(cut);
  Case otherDcid{"other connection id", v1, false};
  otherDcid.datagram[6] ^= 0xff;
  cases.push_back(otherDcid);
  for (const Case& c : cases) {
    char name[256] = {};
    size_t length = 0;
    const bool named = quicServerName(c.datagram.data(), c.datagram.size(), name, &length);
    ASSERT_EQ(named, c.named) << c.what;
    if (named) EXPECT_EQ(std::string(name, length), "example.com") << c.what;
  }
}

TEST(QuicInitial, PutsCryptoFramesTogetherByOffset) {
  const std::vector<uint8_t> hello = quicTestBytes(kQuicTestClientHello);
  const size_t cut = 40;  // the server name comes after this offset
  auto crypto = [&](size_t from, size_t to) {
    std::vector<uint8_t> f = {0x06, static_cast<uint8_t>(0x40 | from >> 8), static_cast<uint8_t>(from),
                              static_cast<uint8_t>(0x40 | (to - from) >> 8), static_cast<uint8_t>(to - from)};
    f.insert(f.end(), hello.begin() + static_cast<std::ptrdiff_t>(from), hello.begin() + static_cast<std::ptrdiff_t>(to));
    return f;
  };
  const std::vector<uint8_t> ping = {0x01}, ack = {0x02, 0x05, 0x00, 0x01, 0x00, 0x01, 0x00}, padding(8, 0x00);
  const std::vector<uint8_t> newToken = {0x07, 0x01, 0xaa};
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> frames;
    bool named;
  };
  const Case cases[] = {
      {"in order", {crypto(0, cut), crypto(cut, hello.size()), padding}, true},
      {"reversed among PING, ACK and PADDING", {ping, crypto(cut, hello.size()), ack, padding, crypto(0, cut), padding}, true},
      {"overlapping", {crypto(0, cut + 10), crypto(cut, hello.size())}, true},
      {"start missing", {crypto(cut, hello.size())}, false},
      {"another frame before the hello", {newToken, crypto(0, hello.size())}, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> payload;
    for (const std::vector<uint8_t>& f : c.frames) payload.insert(payload.end(), f.begin(), f.end());
    char name[256] = {};
    size_t length = 0;
    ASSERT_EQ(quicCryptoFramesServerName(payload.data(), payload.size(), name, &length), c.named) << c.what;
    if (c.named) EXPECT_EQ(std::string(name, length), "example.com") << c.what;
  }
}

}  // namespace
