#include "platform/error_text.h"

#include <cstring>

namespace {

// strerror_r comes in two shapes; either way, the text for the code.
[[maybe_unused]] const char* pickText(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* pickText(const char* result, const char*) { return result; }

}  // namespace

std::string systemErrorText(int code) {
  char buffer[256] = {0};
  return pickText(strerror_r(code, buffer, sizeof buffer), buffer);
}
