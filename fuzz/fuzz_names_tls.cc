// A TCP client's first payload through the ClientHello reader, with and
// without its record header: a name found is 1 to 255 printable lower-case
// bytes and ends with a NUL.
#include <cstdint>
#include <cstring>

#include "capture/names/tls_hello.h"

namespace {

void checkName(bool found, const char* name, size_t length) {
  if (!found) return;
  if (length == 0 || length > 255 || name[length] != '\0' || std::strlen(name) != length) __builtin_trap();
  for (size_t i = 0; i < length; ++i) {
    if (name[i] <= 0x20 || name[i] >= 0x7f || (name[i] >= 'A' && name[i] <= 'Z')) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char name[256];
  size_t length = 0;
  const bool inRecord = tlsServerName(data, size, name, &length);
  checkName(inRecord, name, length);
  const bool inMessage = clientHelloServerName(data, size, name, &length);
  checkName(inMessage, name, length);
  return 0;
}
