#include "runtime/console.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cstdint>
#include <string>
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

void consoleWidePrintf(const wchar_t* format, ...) {
  wchar_t wide[512];
  va_list args;
  va_start(args, format);
  const int n = vswprintf(wide, sizeof wide / sizeof wide[0], format, args);
  va_end(args);
  if (n < 0) return;
  std::string text;
  for (int i = 0; i < n; ++i) {
    const uint32_t c = static_cast<uint32_t>(wide[i]);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xc0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      text += static_cast<char>(0xe0 | c >> 12);
      text += static_cast<char>(0x80 | (c >> 6 & 0x3f));
      text += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  consoleWrite(text);
}
