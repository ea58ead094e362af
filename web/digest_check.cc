#include "web/digest_check.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>

namespace {

constexpr uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotl(uint32_t x, uint32_t n) { return x << n | x >> (32 - n); }

void md5Block(uint32_t state[4], const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
           uint32_t(block[4 * i + 3]) << 24;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f, g;
    if (i < 16) f = (b & c) | (~b & d), g = i;
    else if (i < 32) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
    else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
    else f = c ^ (b | ~d), g = (7 * i) % 16;
    const uint32_t next = d;
    d = c;
    c = b;
    b = b + rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = next;
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d;
}

// The parameters of a Digest header: name to value, quotes removed.
std::map<std::string, std::string> digestParams(std::string_view header) {
  std::map<std::string, std::string> params;
  if (header.substr(0, 7) != "Digest ") return params;
  size_t at = 7;
  while (at < header.size()) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ',')) ++at;
    const size_t eq = header.find('=', at);
    if (eq == std::string_view::npos) break;
    std::string name(header.substr(at, eq - at));
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    at = eq + 1;
    std::string value;
    if (at < header.size() && header[at] == '"') {
      for (++at; at < header.size() && header[at] != '"'; ++at) {
        if (header[at] == '\\' && at + 1 < header.size()) ++at;
        value += header[at];
      }
      ++at;
    } else {
      const size_t end = header.find(',', at);
      value = std::string(header.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
      at = end == std::string_view::npos ? header.size() : end;
    }
    params.emplace(std::move(name), std::move(value));
  }
  return params;
}

}  // namespace

std::string md5Hex(std::string_view data) {
  uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  size_t at = 0;
  for (; data.size() - at >= 64; at += 64) md5Block(state, reinterpret_cast<const uint8_t*>(data.data()) + at);
  uint8_t last[128] = {};
  const size_t rest = data.size() - at;
  memcpy(last, data.data() + at, rest);
  last[rest] = 0x80;
  const size_t blocks = rest < 56 ? 1 : 2;
  const uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i) last[blocks * 64 - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t b = 0; b < blocks; ++b) md5Block(state, last + 64 * b);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint32_t word : state) {
    for (int i = 0; i < 4; ++i) {
      const uint8_t byte = static_cast<uint8_t>(word >> (8 * i));
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

bool digestAnswerIsRight(std::string_view header, std::string_view method, const std::string& user,
                         const std::string& password, const std::string& realm) {
  const auto params = digestParams(header);
  const auto get = [&](const char* name) {
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
  };
  std::string algorithm = get("algorithm");
  for (char& c : algorithm) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::string qop = get("qop"), response = get("response");
  if (!algorithm.empty() && algorithm != "MD5") return false;
  if (get("username") != user || get("realm") != realm || response.size() != 32) return false;
  const std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
  const std::string ha2 = md5Hex(std::string(method) + ":" + get("uri"));
  std::string expected;
  if (qop == "auth") {
    expected = md5Hex(ha1 + ":" + get("nonce") + ":" + get("nc") + ":" + get("cnonce") + ":auth:" + ha2);
  } else if (qop.empty()) {
    expected = md5Hex(ha1 + ":" + get("nonce") + ":" + ha2);
  } else {
    return false;
  }
  std::string given = response;
  for (char& c : given) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return given == expected;
}
