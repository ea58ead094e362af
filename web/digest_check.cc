#include "web/digest_check.h"

#include <cstdint>

#include "platform/crypto.h"

namespace {

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Where `name`'s value goes, or null for a parameter the check does not use.
std::string* slotFor(DigestAnswer& answer, const std::string& name) {
  struct Slot {
    const char* name;
    std::string DigestAnswer::*member;
  };
  static constexpr Slot kSlots[] = {
      {"username", &DigestAnswer::username}, {"realm", &DigestAnswer::realm},   {"nonce", &DigestAnswer::nonce},
      {"uri", &DigestAnswer::uri},           {"qop", &DigestAnswer::qop},       {"nc", &DigestAnswer::nc},
      {"cnonce", &DigestAnswer::cnonce},     {"response", &DigestAnswer::response},
      {"algorithm", &DigestAnswer::algorithm},
  };
  for (const Slot& slot : kSlots) {
    if (name == slot.name) return &(answer.*slot.member);
  }
  return nullptr;
}

}  // namespace

bool parseDigestAnswer(std::string_view header, DigestAnswer& answer) {
  answer = DigestAnswer{};
  if (header.size() < 7 || lowerAscii(std::string(header.substr(0, 7))) != "digest ") return false;
  size_t at = 7;
  while (at < header.size()) {
    while (at < header.size() && (header[at] == ' ' || header[at] == ',' || header[at] == '\t')) ++at;
    if (at == header.size()) break;
    const size_t eq = header.find('=', at);
    if (eq == std::string_view::npos) return false;
    size_t nameEnd = eq;
    while (nameEnd > at && (header[nameEnd - 1] == ' ' || header[nameEnd - 1] == '\t')) --nameEnd;
    const std::string name = lowerAscii(std::string(header.substr(at, nameEnd - at)));
    at = eq + 1;
    while (at < header.size() && (header[at] == ' ' || header[at] == '\t')) ++at;
    std::string value;
    if (at < header.size() && header[at] == '"') {
      for (++at;; ++at) {
        if (at >= header.size()) return false;  // no closing quote
        if (header[at] == '"') break;
        if (header[at] == '\\' && at + 1 < header.size()) ++at;
        value += header[at];
      }
      ++at;
    } else {
      const size_t end = header.find(',', at);
      value = std::string(header.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      at = end == std::string_view::npos ? header.size() : end;
    }
    if (std::string* slot = slotFor(answer, name)) *slot = std::move(value);
  }
  if (answer.username.empty() || answer.nonce.empty() || answer.uri.empty() || answer.response.empty()) return false;
  return answer.qop.empty() || (!answer.nc.empty() && !answer.cnonce.empty());
}

uint32_t digestNonceCount(const DigestAnswer& answer) {
  if (answer.qop.empty()) return 1;
  if (answer.nc.empty() || answer.nc.size() > 8) return 0;
  uint32_t count = 0;
  for (char c : answer.nc) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return 0;
    count = count << 4 | static_cast<uint32_t>(digit);
  }
  return count;
}

bool digestAnswerIsRight(const DigestAnswer& answer, std::string_view method, const std::string& user,
                         const std::string& password, const std::string& realm) {
  const std::string algorithm = lowerAscii(answer.algorithm);
  std::string (*hash)(std::string_view) = nullptr;
  if (algorithm.empty() || algorithm == "md5") hash = md5Hex;
  else if (algorithm == "sha-256") hash = sha256Hex;
  else return false;
  if (answer.username != user || answer.realm != realm) return false;
  const std::string ha1 = hash(user + ":" + realm + ":" + password);
  const std::string ha2 = hash(std::string(method) + ":" + answer.uri);
  if (ha1.empty() || ha2.empty()) return false;
  std::string expected;
  if (answer.qop == "auth") {
    expected = hash(ha1 + ":" + answer.nonce + ":" + answer.nc + ":" + answer.cnonce + ":auth:" + ha2);
  } else if (answer.qop.empty()) {
    expected = hash(ha1 + ":" + answer.nonce + ":" + ha2);
  } else {
    return false;
  }
  return !expected.empty() && lowerAscii(answer.response) == expected;
}

std::string digestChallenge(const char* realm, const char* opaque, const std::string& nonce, bool stale) {
  std::string challenge = std::string("Digest realm=\"") + realm + "\", qop=\"auth\", nonce=\"" + nonce +
                          "\", opaque=\"" + opaque + "\", algorithm=MD5";
  if (stale) challenge += ", stale=true";
  return challenge;
}
