#include "flow/ip_text.h"

#include <charconv>
#include <cstdio>

std::string ipToDotted(uint32_t address) {
  char text[16];
  char* at = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    at = std::to_chars(at, text + sizeof text, (address >> shift) & 0xffu).ptr;
    if (shift > 0) *at++ = '.';
  }
  return std::string(text, at);
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

std::string ip6Text(const Ip6Address& address) {
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(address.bytes[2 * i] << 8 | address.bytes[2 * i + 1]);
  char text[48];
  if (address.v4Mapped()) {
    snprintf(text, sizeof text, "::ffff:%u.%u.%u.%u", address.bytes[12], address.bytes[13], address.bytes[14],
             address.bytes[15]);
    return text;
  }
  // The longest run of zero groups, two at least; the first of equal runs.
  int runStart = -1, runLength = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > runLength) {
      runStart = i;
      runLength = j - i;
    }
    i = j;
  }
  if (runLength < 2) runStart = -1;
  std::string out;
  out.reserve(39);
  for (int i = 0; i < 8; ++i) {
    if (i == runStart) {
      out += "::";
      i += runLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    snprintf(text, sizeof text, "%x", groups[i]);
    out += text;
  }
  return out;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseIp6(const std::string& text, Ip6Address& address) {
  uint16_t groups[8] = {};
  int count = 0;      // groups read
  int gap = -1;       // groups read before the "::", or -1
  size_t i = 0;
  const size_t n = text.size();
  if (n >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    i = 2;
  } else if (n >= 1 && text[0] == ':') {
    return false;
  }
  while (i < n) {
    if (count == 8) return false;
    // A dotted IPv4 tail takes the last two groups.
    const size_t groupEnd = text.find(':', i);
    const std::string part = text.substr(i, groupEnd == std::string::npos ? std::string::npos : groupEnd - i);
    if (groupEnd == std::string::npos && part.find('.') != std::string::npos) {
      uint32_t v4 = 0;
      if (count > 6 || !parseDotted(part, v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4 >> 16);
      groups[count++] = static_cast<uint16_t>(v4 & 0xffff);
      i = n;
      break;
    }
    if (part.empty() || part.size() > 4) return false;
    uint32_t value = 0;
    for (char c : part) {
      const int h = hexValue(c);
      if (h < 0) return false;
      value = value << 4 | static_cast<uint32_t>(h);
    }
    groups[count++] = static_cast<uint16_t>(value);
    i += part.size();
    if (i == n) break;
    // A separator: ":" before another group, or "::" once.
    ++i;
    if (i < n && text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
    } else if (i == n) {
      return false;  // a trailing single ':'
    }
  }
  if (gap < 0 && count != 8) return false;
  if (gap >= 0 && count > 7) return false;
  Ip6Address a;
  const int tail = gap < 0 ? 0 : count - gap;
  const int head = gap < 0 ? count : gap;
  for (int g = 0; g < head; ++g) {
    a.bytes[2 * g] = static_cast<uint8_t>(groups[g] >> 8);
    a.bytes[2 * g + 1] = static_cast<uint8_t>(groups[g]);
  }
  for (int g = 0; g < tail; ++g) {
    const int to = 8 - tail + g;
    a.bytes[2 * to] = static_cast<uint8_t>(groups[head + g] >> 8);
    a.bytes[2 * to + 1] = static_cast<uint8_t>(groups[head + g]);
  }
  address = a;
  return true;
}
