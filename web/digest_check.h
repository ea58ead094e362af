// A second look at a Digest authorisation that the library refused: were the
// user name and password right? The library refuses a correct answer when its
// nonce was already used with that nonce count, which happens to clients
// that were challenged for the same path in the same second (they get the
// same nonce). Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

// The MD5 digest of `data` as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view data);

// True when the Authorization header `header` ("Digest username=..., ...")
// answers its own nonce correctly for `method`, `user`, `password` and
// `realm` (algorithm MD5, qop "auth" or none). Says nothing about whether the
// nonce is fresh or was issued by this server.
bool digestAnswerIsRight(std::string_view header, std::string_view method, const std::string& user,
                         const std::string& password, const std::string& realm);
