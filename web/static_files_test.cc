#include "web/static_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

TEST(ContentType, SuffixTableCaseSensitiveOnlyWhenLongEnough) {
  struct Row {
    const char* path;
    const char* type;
  };
  const Row rows[] = {
      {"/index.html", "text/html"},      {"/style.css", "text/css"}, {"/x.gif", "image/gif"},
      {"/x.jpg", "image/jpeg"},          {"/a.js", "application/javascript"},
      {".js", "application/javascript"}, {"/js", "text/html"},       {"css", "text/html"},
      {"/x.CSS", "text/html"},           {"/x.jpeg", "text/html"},   {"/x.png", "text/html"},
      {"", "text/html"},                 {"/x.css.map", "text/html"},
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

}  // namespace
