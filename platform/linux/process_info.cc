// Linux process identity: the image path from /proc/[pid]/exe, the account
// of the process's real user id, and the host name as the account's domain
// (what a local account's domain is on Windows).
#include "platform/process_info.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// Longest account name or domain, as the Windows lookup's 256-character
// buffers allow.
constexpr size_t kAccountMax = 255;

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The real user id from the text of /proc/[pid]/status ("Uid:\treal\t...").
bool parseRealUid(std::string_view status, uid_t& uid) {
  size_t at = status.find("\nUid:");
  if (at == std::string_view::npos) return false;
  at = status.find_first_not_of(" \t", at + 5);
  if (at == std::string_view::npos) return false;
  const char* begin = status.data() + at;
  auto [stop, ec] = std::from_chars(begin, status.data() + status.size(), uid);
  return ec == std::errc() && stop != begin;
}

// Up to `size` bytes of the file `name` in `procDir`; false when it cannot be opened.
bool readProcFile(int procDir, const char* name, char* buf, size_t size, size_t& used) {
  Fd file{openat(procDir, name, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return false;
  used = 0;
  while (used < size) {
    ssize_t n = read(file.fd, buf + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  return true;
}

bool readRealUid(int procDir, uid_t& uid) {
  char buf[4096];
  size_t used = 0;
  return readProcFile(procDir, "status", buf, sizeof buf, used) && parseRealUid(std::string_view(buf, used), uid);
}

void lookUpAccount(uid_t uid, ProcessInfo& info) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd entry;
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &entry, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (rc == 0 && !found) {
    info.account = AccountLookup::kNoneMapped;
    return;
  }
  if (rc != 0 || strlen(found->pw_name) > kAccountMax) {
    info.account = AccountLookup::kFailed;
    info.lookupError = static_cast<uint32_t>(rc != 0 ? rc : ERANGE);
    return;
  }
  char host[kAccountMax + 1] = {};
  if (gethostname(host, kAccountMax) != 0) {
    info.account = AccountLookup::kFailed;
    info.lookupError = static_cast<uint32_t>(errno);
    return;
  }
  info.account = AccountLookup::kFound;
  info.accountName = found->pw_name;
  info.accountDomain = host;
}

}  // namespace

ProcessInfo readProcessInfo(uint32_t pid, bool withControlGroups) {
  ProcessInfo info;
  char path[32];
  snprintf(path, sizeof path, "/proc/%u", pid);
  Fd dir{pid == 0 ? -1 : open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) return info;
  info.opened = true;

  uid_t uid = 0;
  if (readRealUid(dir.fd, uid)) {
    info.account = AccountLookup::kTokenUnreadable;
    lookUpAccount(uid, info);
  }

  char exe[PATH_MAX];
  ssize_t n = readlinkat(dir.fd, "exe", exe, sizeof exe);
  if (n > 0 && static_cast<size_t>(n) < sizeof exe) {
    info.imagePathRead = true;
    info.imagePath.assign(exe, static_cast<size_t>(n));
  }

  char groups[4096];
  size_t used = 0;
  if (withControlGroups && readProcFile(dir.fd, "cgroup", groups, sizeof groups, used)) info.controlGroups.assign(groups, used);
  return info;
}

ProcessInfo readAccountOf(uint32_t uid) {
  ProcessInfo info;
  info.account = AccountLookup::kTokenUnreadable;
  lookUpAccount(static_cast<uid_t>(uid), info);
  return info;
}
