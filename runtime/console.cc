#include "runtime/console.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// What this thread writes while it holds its lines; null when it does not.
thread_local std::string* heldLines = nullptr;

}  // namespace

void consoleWrite(std::string_view text) {
  if (heldLines != nullptr) {
    heldLines->append(text);
    return;
  }
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void consoleHold() {
  static thread_local std::string kept;
  kept.clear();
  heldLines = &kept;
}

void consoleRelease() {
  if (heldLines == nullptr) return;
  std::string* kept = heldLines;
  heldLines = nullptr;
  consoleWrite(*kept);
}

bool consoleEndHold(std::string& kept) {
  if (heldLines == nullptr) return false;
  kept = std::move(*heldLines);
  heldLines = nullptr;
  return true;
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

std::string formatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
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
