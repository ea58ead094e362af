// One DNS message through the message reader: the question's text and the
// addresses it gives stay within their bounds.
#include <cstdint>
#include <cstring>

#include "capture/names/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DnsMessageView view;
  if (!parseDnsMessage(data, size, &view)) return 0;
  if (view.questionLength > 255 || view.question[view.questionLength] != '\0') __builtin_trap();
  if (std::strlen(view.question) != view.questionLength) __builtin_trap();
  if (view.addressCount > 32 || (view.addressCount > 0 && !view.response)) __builtin_trap();
  for (size_t i = 0; i < view.addressCount; ++i) {
    if (view.addresses[i].family != 4 && view.addresses[i].family != 6) __builtin_trap();
  }
  for (size_t i = 0; i < view.questionLength; ++i) {
    const char c = view.question[i];
    if (c <= 0x20 || c >= 0x7f || (c >= 'A' && c <= 'Z')) __builtin_trap();
  }
  return 0;
}
