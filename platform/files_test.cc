#include "platform/files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  if (d) closedir(d);
  return names;
}

class ReplaceFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantrel-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST_F(ReplaceFileTest, NewLongerShorterAndEmptyContentsReplaceWhole) {
  const std::string path = dir_ + "/settings.json";
  const std::string texts[] = {"{\n   \"a\" : 1\n}", std::string(100000, 'x') + "\n", "{}", "",
                               std::string("nul\0inside\r\n", 13)};
  for (const std::string& text : texts) {
    ASSERT_TRUE(replaceFileContents(path, text)) << "text of " << text.size() << " bytes";
    EXPECT_EQ(readAll(path), text) << "text of " << text.size() << " bytes";
    EXPECT_EQ(namesIn(dir_), std::set<std::string>{"settings.json"}) << "temporary file left";
  }
}

TEST_F(ReplaceFileTest, FailureLeavesOldFileAndNoTemporary) {
  // The target is a non-empty folder: the write succeeds, the rename cannot.
  const std::string blocked = dir_ + "/blocked";
  ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
  ASSERT_TRUE(replaceFileContents(blocked + "/keep", "old"));
  EXPECT_FALSE(replaceFileContents(blocked, "new"));
  EXPECT_EQ(namesIn(dir_), std::set<std::string>{"blocked"});
  EXPECT_EQ(readAll(blocked + "/keep"), "old");

  // The folder does not exist: nothing can be written.
  EXPECT_FALSE(replaceFileContents(dir_ + "/missing/settings.json", "new"));
  EXPECT_EQ(namesIn(dir_), std::set<std::string>{"blocked"});
}

}  // namespace
