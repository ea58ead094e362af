#include "process/process_identity.h"

#include <gtest/gtest.h>

namespace {

ProcessInfo opened(AccountLookup account, const char* path) {
  ProcessInfo info;
  info.opened = true;
  info.account = account;
  if (path) {
    info.imagePathRead = true;
    info.imagePath = path;
  }
  return info;
}

ProcessInfo found(const char* name, const char* domain, const char* path) {
  ProcessInfo info = opened(AccountLookup::kFound, path);
  info.accountName = name;
  info.accountDomain = domain;
  return info;
}

ProcessInfo failed(uint32_t code, const char* path) {
  ProcessInfo info = opened(AccountLookup::kFailed, path);
  info.lookupError = code;
  return info;
}

TEST(ProcessIdentityTest, NameUserAndDomainFromEachOutcome) {
  struct Case {
    const char* what;
    uint32_t pid;
    ProcessInfo info;
    const char* name;
    const char* user;  // the caller passes "u" and "d" in
    const char* domain;
    const char* printed;
  } cases[] = {
      {"not opened", 0, ProcessInfo{}, "Pid:0", "u", "d", ""},
      {"local account", 1, found("alice", "HOST1", "C:\\Tools\\client.exe"), "C:/Tools/client.exe", "alice", "HOST1",
       ""},
      {"31 bytes lose the first", 2, found("a", "b", "C:\\Windows\\System32\\svchost.exe"),
       ":/Windows/System32/svchost.exe", "a", "b", ""},
      {"30 bytes stay whole", 3, found("a", "b", "C:\\Windows\\System32\\svchost.ex"),
       "C:/Windows/System32/svchost.ex", "a", "b", ""},
      {"long path keeps its tail", 4, found("a", "b", "/usr/lib/jvm/java-17/bin/java-launcher"),
       "/jvm/java-17/bin/java-launcher", "a", "b", ""},
      {"image path unreadable", 1234, found("bob", "HOST1", nullptr), "Pid:1234", "bob", "HOST1", ""},
      {"token not opened", 5, opened(AccountLookup::kNoToken, "C:\\a.exe"), "C:/a.exe", "u", "d", ""},
      {"token unreadable", 6, opened(AccountLookup::kTokenUnreadable, "C:\\a.exe"), "C:/a.exe", "", "", ""},
      {"account unmapped", 7, opened(AccountLookup::kNoneMapped, "C:\\a.exe"), "C:/a.exe", "NONE_MAPPED", "", ""},
      {"lookup failed", 8, failed(1789, "C:\\a.exe"), "C:/a.exe", "", "", "LookupAccountSid Error 1789\n"},
      {"lookup failed, large code", 9, failed(4294967295u, nullptr), "Pid:9", "", "",
       "LookupAccountSid Error 4294967295\n"},
      {"highest pid", 4294967295u, ProcessInfo{}, "Pid:4294967295", "u", "d", ""},
  };
  for (const Case& c : cases) {
    std::string user = "u", domain = "d";
    testing::internal::CaptureStdout();
    const std::string name = identityFromInfo(c.pid, c.info, user, domain);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.what;
    EXPECT_EQ(name, c.name) << c.what;
    EXPECT_EQ(user, c.user) << c.what;
    EXPECT_EQ(domain, c.domain) << c.what;
    EXPECT_LE(name.size(), kProcessNameMax) << c.what;
  }
}

TEST(ProcessIdentityTest, ProcessZeroCannotBeOpened) {
  std::string user, domain;
  EXPECT_EQ(getProcessIdentity(0, user, domain), "Pid:0");
  EXPECT_EQ(user, "");
  EXPECT_EQ(domain, "");
}

}  // namespace
