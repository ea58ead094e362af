#include "capture/names/tls_hello.h"

namespace {

constexpr uint8_t kRecordHandshake = 22;
constexpr uint8_t kClientHello = 1;
constexpr uint16_t kServerNameExtension = 0;
constexpr uint8_t kHostName = 0;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Bytes of a message read front to back; every read checks what is left first.
struct Reader {
  const uint8_t* p;
  size_t left;
  bool skip(size_t n) {
    if (n > left) return false;
    p += n;
    left -= n;
    return true;
  }
  bool u8(size_t* v) {
    if (left < 1) return false;
    *v = p[0];
    return skip(1);
  }
  bool u16v(size_t* v) {
    if (left < 2) return false;
    *v = u16(p);
    return skip(2);
  }
};

// The host_name entry of a server_name extension's data (`r` holds only what was captured of it).
bool hostName(Reader r, char name[256], size_t* nameLength) {
  size_t listLength = 0;
  if (!r.u16v(&listLength)) return false;
  if (listLength < r.left) r.left = listLength;
  while (r.left > 0) {
    size_t type = 0, length = 0;
    if (!r.u8(&type) || !r.u16v(&length) || length > r.left) return false;
    if (type == kHostName) {
      if (length == 0 || length > 255) return false;
      for (size_t i = 0; i < length; ++i) {
        const uint8_t c = r.p[i];
        if (c <= 0x20 || c >= 0x7f) return false;
        name[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      }
      name[length] = '\0';
      *nameLength = length;
      return true;
    }
    r.skip(length);
  }
  return false;
}

}  // namespace

bool clientHelloServerName(const uint8_t* message, size_t length, char name[256], size_t* nameLength) {
  Reader r{message, length};
  size_t type = 0, sessionId = 0, suites = 0, compressions = 0, extensions = 0;
  if (!r.u8(&type) || type != kClientHello || !r.skip(3)) return false;
  // Legacy version and random, then the variable-length fields before the extensions.
  if (!r.skip(2 + 32) || !r.u8(&sessionId) || sessionId > 32 || !r.skip(sessionId)) return false;
  if (!r.u16v(&suites) || !r.skip(suites) || !r.u8(&compressions) || !r.skip(compressions)) return false;
  if (!r.u16v(&extensions)) return false;
  if (extensions < r.left) r.left = extensions;
  while (r.left >= 4) {
    size_t extension = 0, extensionLength = 0;
    r.u16v(&extension);
    r.u16v(&extensionLength);
    if (extension == kServerNameExtension) {
      Reader data{r.p, extensionLength < r.left ? extensionLength : r.left};
      return hostName(data, name, nameLength);
    }
    if (!r.skip(extensionLength)) return false;
  }
  return false;
}

bool tlsServerName(const uint8_t* payload, size_t length, char name[256], size_t* nameLength) {
  // Record header: content type, version 3.x, length.
  if (length < 5 || payload[0] != kRecordHandshake || payload[1] != 3) return false;
  size_t recordLength = u16(payload + 3);
  if (recordLength > length - 5) recordLength = length - 5;
  return clientHelloServerName(payload + 5, recordLength, name, nameLength);
}
