#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(Crypto, KnownDigestsAcrossBlockBoundaries) {
  struct Row {
    std::string input;
    const char* md5;
    const char* sha256;
  };
  const Row rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65",
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367",
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(md5Hex(row.input), row.md5) << row.input.size() << " bytes";
    EXPECT_EQ(sha256Hex(row.input), row.sha256) << row.input.size() << " bytes";
  }
}

TEST(Crypto, RandomBytesDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    char bytes[16];
    ASSERT_TRUE(randomBytes(bytes, sizeof bytes));
    seen.emplace(bytes, sizeof bytes);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
