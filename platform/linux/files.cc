// POSIX file replacement: stdio write, fsync, rename(2) (which replaces).
#include "platform/files.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

bool replaceFileContents(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + "." + std::to_string(getpid()) + "." +
                           std::to_string(serial.fetch_add(1)) + ".tmp";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (fclose(f) == 0) && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  std::remove(temp.c_str());
  return false;
}

std::string withSystemLineBreaks(const std::string& text) { return text; }
