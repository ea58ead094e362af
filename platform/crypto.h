// Hashes and random bytes from the system's cryptography (GnuTLS on Linux,
// CryptoAPI on Windows): the web interface's Digest sign-in uses them. Any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The digest of `data` as lower-case hexadecimal digits (32 for MD5, 64 for
// SHA-256); empty when the system cannot hash.
std::string md5Hex(std::string_view data);
std::string sha256Hex(std::string_view data);

// Fills `out` with `size` unpredictable bytes; false when the system has
// none to give.
bool randomBytes(void* out, size_t size);
