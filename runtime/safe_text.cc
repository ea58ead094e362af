#include "runtime/safe_text.h"

#include <cstddef>
#include <cstdint>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at text[at], or 0 (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF).
size_t sequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t b = byte(at);
  if (b < 0x80) return 1;
  size_t n = 0;
  uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < n) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string validUtf8(const std::string& text) {
  size_t ascii = 0;
  while (ascii < text.size() && static_cast<uint8_t>(text[ascii]) < 0x80) ++ascii;
  if (ascii == text.size()) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t n = sequenceLength(text, at);
    if (n == 0) {
      out += kReplacement;
      ++at;
    } else {
      out.append(text, at, n);
      at += n;
    }
  }
  return out;
}

std::string terminalText(const std::string& text) {
  static const char* const hex = "0123456789abcdef";
  const std::string valid = validUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (size_t at = 0; at < valid.size(); ++at) {
    const auto c = static_cast<uint8_t>(valid[at]);
    // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
    const bool c1 = c == 0xC2 && at + 1 < valid.size() && static_cast<uint8_t>(valid[at + 1]) <= 0x9F;
    if (c >= 0x20 && c != 0x7F && !c1) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      const uint8_t shown = c1 ? static_cast<uint8_t>(valid[++at]) : c;
      out += "\\x";
      out += hex[shown >> 4];
      out += hex[shown & 15];
    }
  }
  return out;
}

void appendCsvCell(const std::string& text, std::string& out) {
  out += '"';
  if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@')) out += '\'';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}
