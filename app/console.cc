#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

void consoleWrite(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void consolePrintf(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    consoleWrite(std::string_view(small, static_cast<size_t>(n)));
  } else {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    vsnprintf(big.data(), big.size(), format, again);
    consoleWrite(std::string_view(big.data(), static_cast<size_t>(n)));
  }
  va_end(again);
}
