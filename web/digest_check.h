// The web interface's Digest sign-in: reading a client's Authorization
// header and checking its answer (MD5 or SHA-256, qop "auth" or none) with
// the system's hashes. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The parameters of one Digest answer, quotes and escapes removed.
struct DigestAnswer {
  std::string username, realm, nonce, uri, qop, nc, cnonce, response, algorithm;
};

// Reads "Digest name=value, ..." (names in any letter case, values quoted or
// not). False when the header is not a Digest answer or lacks username,
// realm, nonce, uri or response, or, with a qop, nc or cnonce.
// The WWW-Authenticate value that asks for a Digest answer (MD5, qop auth)
// with `nonce`; `stale` says the last answer's nonce had expired.
std::string digestChallenge(const char* realm, const char* opaque, const std::string& nonce, bool stale);

bool parseDigestAnswer(std::string_view header, DigestAnswer& answer);

// True when `answer` is the right response for `method`, `user`, `password`
// and `realm` to its own nonce. Says nothing about whether the nonce is fresh
// or was issued by this server.
bool digestAnswerIsRight(const DigestAnswer& answer, std::string_view method, const std::string& user,
                         const std::string& password, const std::string& realm);

// The nonce count of a qop answer (1 to 8 hexadecimal digits, not zero); 1
// for an answer without qop; 0 when unreadable.
uint32_t digestNonceCount(const DigestAnswer& answer);
