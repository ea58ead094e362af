#include "web/request_origin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FromAnotherSite, HeadersThatNameAnotherSite) {
  struct Row {
    const char* secFetchSite;
    const char* origin;
    const char* referer;
    const char* host;
    bool another;
  };
  const Row rows[] = {
      {nullptr, nullptr, nullptr, nullptr, false},
      {nullptr, nullptr, nullptr, "127.0.0.1:7909", false},
      {"same-origin", nullptr, nullptr, "127.0.0.1:7909", false},
      {"none", nullptr, nullptr, "127.0.0.1:7909", false},
      {"cross-site", nullptr, nullptr, "127.0.0.1:7909", true},
      {"same-site", nullptr, nullptr, "127.0.0.1:7909", true},
      {nullptr, "http://127.0.0.1:7909", nullptr, "127.0.0.1:7909", false},
      {nullptr, "HTTP://LocalHost:7909", nullptr, "localhost:7909", false},
      {nullptr, "http://127.0.0.1:7910", nullptr, "127.0.0.1:7909", true},
      {nullptr, "http://evil.example", nullptr, "127.0.0.1:7909", true},
      {nullptr, "null", nullptr, "127.0.0.1:7909", true},
      {nullptr, "http://127.0.0.1:7909", nullptr, nullptr, true},
      {nullptr, nullptr, "http://127.0.0.1:7909/index.html?x=1", "127.0.0.1:7909", false},
      {nullptr, nullptr, "http://user@127.0.0.1:7909/", "127.0.0.1:7909", false},
      {nullptr, nullptr, "http://evil.example/page?127.0.0.1:7909", "127.0.0.1:7909", true},
      {nullptr, nullptr, "http://127.0.0.1.evil.example:7909/", "127.0.0.1:7909", true},
      {nullptr, nullptr, "about:blank", "127.0.0.1:7909", true},
      {nullptr, "http://example.org", nullptr, "example.org", false},
      {nullptr, "http://example.org:80", nullptr, "example.org", false},
      {nullptr, "https://example.org", nullptr, "example.org", true},
      {nullptr, "http://[::1]:7909", nullptr, "[::1]:7909", false},
      {nullptr, "http://[::1]", nullptr, "[::1]:7909", true},
      {"same-origin", "http://127.0.0.1:7909", "http://evil.example/", "127.0.0.1:7909", true},
  };
  for (const Row& row : rows) {
    RequestOriginHeaders headers{row.secFetchSite, row.origin, row.referer, row.host};
    auto show = [](const char* s) { return s ? std::string("\"") + s + "\"" : std::string("none"); };
    EXPECT_EQ(fromAnotherSite(headers), row.another)
        << "Sec-Fetch-Site " << show(row.secFetchSite) << ", Origin " << show(row.origin) << ", Referer "
        << show(row.referer) << ", Host " << show(row.host);
  }
}

}  // namespace
