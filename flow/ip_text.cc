#include "flow/ip_text.h"

#include <cstdio>

std::string ipToDotted(uint32_t address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xffu, (address >> 16) & 0xffu,
           (address >> 8) & 0xffu, address & 0xffu);
  return text;
}

bool parseDotted(const std::string& text, uint32_t& address) {
  uint32_t result = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    size_t start = i;
    uint32_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
    }
    // No leading zero: "010" reads as octal to some.
    if (i == start || value > 255 || (text[start] == '0' && i - start > 1)) return false;
    result = (result << 8) | value;
  }
  if (i != text.size()) return false;
  address = result;
  return true;
}
