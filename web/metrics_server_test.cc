#include "web/metrics_server.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseListenAddress, DottedOrBracketedIPv6WithAPort) {
  const std::pair<const char*, const char*> rows[] = {
      // text, as read back ("" when refused)
      {"127.0.0.1:9909", "127.0.0.1:9909"},
      {"0.0.0.0:1", "0.0.0.0:1"},
      {"10.1.2.3:65535", "10.1.2.3:65535"},
      {"[::1]:9909", "[::1]:9909"},
      {"[2001:DB8:0:0::1]:80", "[2001:db8::1]:80"},
      {"127.0.0.1:0", ""},
      {"127.0.0.1:65536", ""},
      {"127.0.0.1:", ""},
      {"127.0.0.1", ""},
      {":9909", ""},
      {"localhost:9909", ""},
      {"127.0.0.1:99x", ""},
      {"127.0.0.1: 9909", ""},
      {"::1:9909", ""},
      {"[::1]", ""},
      {"[]:9909", ""},
      {"[fe80::1%eth0]:9909", ""},
      {"[10.0.0.1]:9909", ""},
      {"", ""},
  };
  for (const auto& [text, want] : rows) {
    ListenAddress a;
    const bool ok = parseListenAddress(text, a);
    EXPECT_EQ(ok ? listenAddressText(a) : "", want) << text;
  }
}

TEST(BearerToken, WhatMaySendAndWhatMatches) {
  const std::pair<const char*, bool> tokens[] = {
      {"s3cret", true}, {"a-b.c_d~e+f/g", true}, {"YWJj==", true}, {"=", false}, {"a=b", false},
      {"", false},      {"two words", false},   {"tab\t", false},  {"caf\xc3\xa9", false}, {"\"q\"", false},
  };
  for (const auto& [token, want] : tokens) EXPECT_EQ(isBearerToken(token), want) << token;

  struct Row {
    const char* header;  // null: no Authorization header
    bool matches;
  };
  const Row rows[] = {
      {"Bearer s3cret", true},  {"bearer s3cret", true},  {"BEARER s3cret", true},
      {nullptr, false},         {"", false},              {"Bearer", false},
      {"Bearer ", false},       {"Bearer s3cre", false},  {"Bearer s3cret2", false},
      {"Bearer S3cret", false}, {"Bearer  s3cret", false}, {"Bearer s3cret ", false},
      {"Basic s3cret", false},  {"Bearers3cret", false},  {"s3cret", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(bearerTokenMatches(row.header, "s3cret"), row.matches) << (row.header ? row.header : "(none)");
  }
}

}  // namespace
