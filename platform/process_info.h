// What the system tells about one process: its image path and the account
// of its security token. Plain data out, every failure told apart; any
// thread may call.
#pragma once

#include <cstdint>
#include <string>

enum class AccountLookup {
  kNoToken,          // the token could not be opened
  kTokenUnreadable,  // the token opened, but its user could not be read
  kFound,            // accountName and accountDomain hold the account
  kNoneMapped,       // the token's user has no account name
  kFailed,           // the account lookup failed with `lookupError`
};

struct ProcessInfo {
  bool opened = false;  // false: the process could not be opened, nothing else was read
  AccountLookup account = AccountLookup::kNoToken;
  uint32_t lookupError = 0;   // the system's code when kFailed
  std::string accountName;    // at most 255 bytes; set when kFound
  std::string accountDomain;  // at most 255 bytes; set when kFound
  bool imagePathRead = false;
  std::string imagePath;      // full path of the executable when imagePathRead
  std::string controlGroups;  // Linux: the text of /proc/PID/cgroup ("" when unreadable); Windows: ""
};

// Reads the process `pid`, its cgroups too when `withControlGroups`. Opens
// and closes everything within the call.
ProcessInfo readProcessInfo(uint32_t pid, bool withControlGroups = true);

// The account of the user numbered `uid`, for a process known only by the
// user id it had (it may have ended): `account` and its fields as
// readProcessInfo sets them. Where the system does not number its users
// (Windows) the result says kNoToken.
ProcessInfo readAccountOf(uint32_t uid);
