// POSIX file replacement: a 0600 temporary file given the old file's owner
// and mode, written, fsync'ed, then rename(2)'d over the old file.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// strerror_r comes in two shapes; either way, the text for `code`.
[[maybe_unused]] const char* pickText(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* pickText(const char* result, const char*) { return result; }

bool fail(int code, std::string* error) {
  char buffer[256] = {0};
  if (error) *error = pickText(strerror_r(code, buffer, sizeof buffer), buffer);
  return false;
}

bool writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool replaceFileContents(const std::string& path, const std::string& text, std::string* error) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + "." + std::to_string(getpid()) + "." +
                           std::to_string(serial.fetch_add(1)) + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno, error);
  struct stat old;
  bool ok = true;
  if (stat(path.c_str(), &old) == 0) {
    // Only root may give a file away; anyone else keeps it as their own.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ok = false;
    ok = ok && fchmod(fd, old.st_mode & 07777) == 0;
  }
  ok = ok && writeAll(fd, text) && fsync(fd) == 0;
  int code = ok ? 0 : errno;
  if (close(fd) != 0 && ok) ok = false, code = errno;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  if (ok) code = errno;
  std::remove(temp.c_str());
  return fail(code, error);
}

std::string withSystemLineBreaks(const std::string& text) { return text; }

bool changeWorkingFolder(const std::string& path, std::string& error) {
  return chdir(path.c_str()) == 0 || fail(errno, &error);
}
