#include "capture/names/tls_hello.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/names/quic_test_vectors.h"

namespace {

// The ClientHello of the QUIC test vector (server name "example.com") behind a TLS record header.
std::vector<uint8_t> helloRecord() {
  const std::vector<uint8_t> hello = quicTestBytes(kQuicTestClientHello);
  std::vector<uint8_t> record = {22, 3, 1, static_cast<uint8_t>(hello.size() >> 8), static_cast<uint8_t>(hello.size())};
  record.insert(record.end(), hello.begin(), hello.end());
  return record;
}

size_t find(const std::vector<uint8_t>& data, const std::string& text) {
  return std::string(data.begin(), data.end()).find(text);
}

TEST(TlsHello, ReadsServerName) {
  const std::vector<uint8_t> whole = helloRecord();
  const size_t nameAt = find(whole, "example.com");
  ASSERT_NE(nameAt, std::string::npos);
  struct Case {
    const char* what;
    std::vector<uint8_t> payload;
    const char* name;  // nullptr: none
  };
  std::vector<Case> cases = {
      {"whole hello", whole, "example.com"},
      {"cut short just after the name", {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(nameAt + 11)}, "example.com"},
      {"cut short inside the name", {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(nameAt + 10)}, nullptr},
      {"record header only", {whole.begin(), whole.begin() + 5}, nullptr},
  };
  Case upper{"upper case name", whole, "example.com"};
  upper.payload[nameAt] = 'E';
  upper.payload[nameAt + 8] = 'C';
  cases.push_back(upper);
  Case application{"application data record", whole, nullptr};
  application.payload[0] = 23;
  cases.push_back(application);
  Case serverHello{"not a ClientHello", whole, nullptr};
  serverHello.payload[5] = 2;
  cases.push_back(serverHello);
  Case noSni{"server_name extension renamed", whole, nullptr};
  noSni.payload[nameAt - 9] = 0x7f;  // extension type 0x0000 -> 0x7f00
  cases.push_back(noSni);
  Case control{"control byte in the name", whole, nullptr};
  control.payload[nameAt + 3] = '\n';
  cases.push_back(control);
  Case longer{"name length past the extension", whole, nullptr};
  longer.payload[nameAt - 1] = 0xff;
  cases.push_back(longer);

  for (const Case& c : cases) {
    char name[256] = "unchanged";
    size_t length = 0;
    const bool found = tlsServerName(c.payload.data(), c.payload.size(), name, &length);
    ASSERT_EQ(found, c.name != nullptr) << c.what;
    if (found) EXPECT_EQ(std::string(name, length), c.name) << c.what;
    if (found) EXPECT_EQ(name[length], '\0') << c.what;
  }
}

}  // namespace
