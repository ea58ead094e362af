#include "web/static_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "web/request_origin.h"

namespace {

TEST(ContentType, SuffixTableCaseSensitiveOnlyWhenLongEnough) {
  struct Row {
    const char* path;
    const char* type;
  };
  const Row rows[] = {
      {"/index.html", "text/html"},   {"/style.css", "text/css"},   {"/x.gif", "image/gif"},
      {"/x.jpg", "image/jpeg"},       {"/app.js", "application/javascript"},
      {"/a.js", "application/javascript"},                          {".js", "application/javascript"},
      {".css", "text/css"},           {"/js", "text/html"},         {"js", "text/html"},
      {"css", "text/html"},           {"/x.CSS", "text/html"},      {"/x.JPG", "text/html"},
      {"/x.jpeg", "text/html"},       {"/x.png", "text/html"},      {"/x.svg", "text/html"},
      {"/x.json", "text/html"},       {"/x.ico", "text/html"},      {"", "text/html"},
      {"/x.css.map", "text/html"},
  };
  for (const Row& row : rows) EXPECT_STREQ(contentTypeForPath(row.path), row.type) << "path: " << row.path;
}

TEST(WebPathIsClean, DotDotSegmentsBackslashesAndNulAreRefused) {
  struct Row {
    std::string path;
    bool clean;
  };
  const Row rows[] = {
      {"/index.html", true},    {"/", true},          {"/a/b/c.js", true},
      {"/..a", true},           {"/a..", true},       {"/.../x", true},
      {"/./x", true},           {"/..", false},       {"/../x", false},
      {"/a/../x", false},       {"/a/..", false},     {"..", false},
      {"/a\\b", false},         {"/..\\x", false},    {std::string("/a\0b", 4), false},
  };
  for (const Row& row : rows) EXPECT_EQ(webPathIsClean(row.path), row.clean) << "path: " << row.path;
}

// A web folder with a few files, a folder and links, beside a file outside it.
class ResolveWebFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantrel-web-XXXXXX";
    dir_ = mkdtemp(pattern);
    root_ = dir_ + "/resources/web";
    ASSERT_EQ(system(("mkdir -p '" + root_ + "/sub'").c_str()), 0);
    std::ofstream(root_ + "/index.html") << "index";
    std::ofstream(root_ + "/sub/page.html") << "page";
    std::ofstream(dir_ + "/secret.txt") << "secret";
    ASSERT_EQ(symlink("../../secret.txt", (root_ + "/out-link").c_str()), 0);
    ASSERT_EQ(symlink("sub/page.html", (root_ + "/in-link").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (root_ + "/etc-dir").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
  std::string dir_, root_;
};

TEST_F(ResolveWebFileTest, OnlyRegularFilesInsideTheFolder) {
  struct Row {
    const char* path;
    const char* resolvesTo;  // relative to the folder; null: refused
  };
  const Row rows[] = {
      {"/index.html", "/index.html"},
      {"/sub/page.html", "/sub/page.html"},
      {"/in-link", "/sub/page.html"},
      {"/sub//page.html", "/sub/page.html"},
      {"/./index.html", "/index.html"},
      {"/out-link", nullptr},
      {"/etc-dir/hostname", nullptr},
      {"/sub", nullptr},
      {"/sub/", nullptr},
      {"/missing.html", nullptr},
      {"/../secret.txt", nullptr},
      {"/sub/../index.html", nullptr},
      {"/..\\secret.txt", nullptr},
      {"http://example/index.html", nullptr},
  };
  const std::filesystem::path realRoot = std::filesystem::canonical(root_);
  for (const Row& row : rows) {
    const std::filesystem::path got = resolveWebFile(root_, row.path);
    if (row.resolvesTo == nullptr) {
      EXPECT_TRUE(got.empty()) << "path: " << row.path << " gave " << got;
    } else {
      EXPECT_EQ(got, std::filesystem::path(realRoot.string() + row.resolvesTo)) << "path: " << row.path;
    }
  }
}

TEST_F(ResolveWebFileTest, FolderReachedThroughALinkStillServes) {
  const std::string linked = dir_ + "/linked-web";
  ASSERT_EQ(symlink(root_.c_str(), linked.c_str()), 0);
  EXPECT_FALSE(resolveWebFile(linked, "/index.html").empty());
  EXPECT_TRUE(resolveWebFile(linked, "/out-link").empty());
  EXPECT_TRUE(resolveWebFile(dir_ + "/no-such-folder", "/index.html").empty());
}

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
