#include "capture/names/dns_message.h"

#include <cstring>

namespace {

constexpr size_t kHeaderLength = kDnsHeaderLength;
constexpr int kMaxPointers = 64;     // a name of 127 labels needs far fewer
constexpr size_t kMaxRecords = 128;  // answer records looked at; the rest are only stepped over
constexpr int kMaxChain = 16;        // CNAME links followed from the question

constexpr uint16_t kTypeA = 1, kTypeCname = 5, kTypeAaaa = 28, kClassIn = 1;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// An answer record worth keeping: where its owner name and data start.
struct AnswerRecord {
  uint16_t type;
  uint16_t ownerOffset;
  uint16_t dataOffset;
  uint16_t dataLength;
  uint32_t ttl;
};

struct WireName {
  uint8_t bytes[kDnsMaxWireName];
  size_t length;
};

bool sameName(const WireName& a, const uint8_t* b, size_t bLength) {
  return a.length == bLength && std::memcmp(a.bytes, b, bLength) == 0;
}

// The wire name as dotted text; false when it does not fit in `size` bytes with its final NUL.
bool nameText(const uint8_t* wire, size_t wireLength, char* text, size_t size, size_t* textLength) {
  size_t n = 0;
  size_t i = 0;
  while (i < wireLength && wire[i] != 0) {
    const size_t label = wire[i++];
    if (n > 0) {
      if (n + 1 >= size) return false;
      text[n++] = '.';
    }
    for (size_t k = 0; k < label; ++k) {
      const uint8_t c = wire[i + k];
      if (c > 0x20 && c < 0x7f && c != '.' && c != '\\') {
        if (n + 1 >= size) return false;
        text[n++] = static_cast<char>(c);
      } else {
        if (n + 4 >= size) return false;
        text[n++] = '\\';
        text[n++] = static_cast<char>('0' + c / 100);
        text[n++] = static_cast<char>('0' + c / 10 % 10);
        text[n++] = static_cast<char>('0' + c % 10);
      }
    }
    i += label;
  }
  text[n] = '\0';
  *textLength = n;
  return true;
}

// Steps over one resource record at `*offset`; keeps what an answer record holds in `record`.
bool readRecord(const uint8_t* data, size_t length, size_t* offset, AnswerRecord* record) {
  uint8_t wire[kDnsMaxWireName];
  size_t wireLength = 0, end = 0;
  if (!readDnsName(data, length, *offset, wire, &wireLength, &end)) return false;
  if (end + 10 > length) return false;
  const uint16_t dataLength = u16(data + end + 8);
  if (end + 10 + dataLength > length) return false;
  record->type = u16(data + end);
  const uint16_t rrClass = u16(data + end + 2);
  record->ttl = u32(data + end + 4);
  record->ownerOffset = static_cast<uint16_t>(*offset);
  record->dataOffset = static_cast<uint16_t>(end + 10);
  record->dataLength = dataLength;
  if (rrClass != kClassIn) record->type = 0;  // only Internet-class records give addresses
  *offset = end + 10 + dataLength;
  return true;
}

}  // namespace

bool readDnsName(const uint8_t* data, size_t length, size_t offset, uint8_t wire[kDnsMaxWireName],
                 size_t* wireLength, size_t* end) {
  size_t pos = offset;
  size_t n = 0;
  bool ended = false;
  int pointers = 0;
  for (;;) {
    if (pos >= length) return false;
    const uint8_t c = data[pos];
    if (c == 0) {
      wire[n++] = 0;
      if (!ended) *end = pos + 1;
      *wireLength = n;
      return true;
    }
    if ((c & 0xc0) == 0xc0) {
      if (pos + 1 >= length || ++pointers > kMaxPointers) return false;
      if (!ended) *end = pos + 2;
      ended = true;
      pos = static_cast<size_t>(c & 0x3f) << 8 | data[pos + 1];
      continue;
    }
    if (c & 0xc0) return false;
    // The label, its length byte and the root's 0 after it must fit in 255 bytes.
    if (pos + 1 + c > length || n + 1 + c + 1 > kDnsMaxWireName) return false;
    wire[n++] = c;
    for (size_t k = 0; k < c; ++k) {
      const uint8_t b = data[pos + 1 + k];
      wire[n++] = b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 32) : b;
    }
    pos += 1 + c;
  }
}

bool parseDnsMessage(const uint8_t* data, size_t length, DnsMessageView* out) {
  // Only the fields a reader looks at first are reset: the arrays are read up to their lengths.
  out->hasQuestion = false;
  out->question[0] = '\0';
  out->questionLength = out->questionWireLength = out->addressCount = 0;
  out->qtype = out->qclass = 0;
  if (length < kHeaderLength || length > 65535) return false;
  out->id = u16(data);
  const uint16_t flags = u16(data + 2);
  out->response = (flags & 0x8000) != 0;
  out->truncated = (flags & 0x0200) != 0;
  out->rcode = static_cast<uint8_t>(flags & 0x0f);
  const size_t questions = u16(data + 4);
  const size_t answers = u16(data + 6);
  const size_t others = static_cast<size_t>(u16(data + 8)) + u16(data + 10);

  size_t offset = kHeaderLength;
  for (size_t q = 0; q < questions; ++q) {
    uint8_t wire[kDnsMaxWireName];
    size_t wireLength = 0, end = 0;
    if (!readDnsName(data, length, offset, wire, &wireLength, &end) || end + 4 > length) return false;
    if (q == 0) {
      out->hasQuestion = true;
      std::memcpy(out->questionWire, wire, wireLength);
      out->questionWireLength = wireLength;
      out->qtype = u16(data + end);
      out->qclass = u16(data + end + 2);
      if (!nameText(wire, wireLength, out->question, sizeof out->question, &out->questionLength)) {
        out->question[0] = '\0';
        out->questionLength = 0;
      }
    }
    offset = end + 4;
  }

  AnswerRecord kept[kMaxRecords];
  size_t keptCount = 0;
  for (size_t a = 0; a < answers; ++a) {
    AnswerRecord record;
    if (!readRecord(data, length, &offset, &record)) return false;
    const bool address = (record.type == kTypeA && record.dataLength == 4) ||
                         (record.type == kTypeAaaa && record.dataLength == 16);
    if (record.type == kTypeCname) {
      uint8_t wire[kDnsMaxWireName];
      size_t wireLength = 0, end = 0;
      if (!readDnsName(data, length, record.dataOffset, wire, &wireLength, &end) ||
          end != static_cast<size_t>(record.dataOffset) + record.dataLength) {
        return false;
      }
    }
    if ((address || record.type == kTypeCname) && keptCount < kMaxRecords) kept[keptCount++] = record;
  }
  // Authority and additional sections (EDNS's OPT among them): only stepped over.
  for (size_t r = 0; r < others; ++r) {
    AnswerRecord record;
    if (!readRecord(data, length, &offset, &record)) return false;
  }
  if (!out->response || !out->hasQuestion) return true;

  // The question's name and every name its CNAME chain reaches, in whatever order the records come.
  WireName chain[kMaxChain + 1];
  std::memcpy(chain[0].bytes, out->questionWire, out->questionWireLength);
  chain[0].length = out->questionWireLength;
  size_t chainLength = 1;
  for (bool grew = true; grew && chainLength <= kMaxChain;) {
    grew = false;
    const WireName& last = chain[chainLength - 1];
    for (size_t i = 0; i < keptCount && !grew; ++i) {
      if (kept[i].type != kTypeCname) continue;
      uint8_t owner[kDnsMaxWireName];
      size_t ownerLength = 0, end = 0;
      readDnsName(data, length, kept[i].ownerOffset, owner, &ownerLength, &end);
      if (!sameName(last, owner, ownerLength)) continue;
      WireName& next = chain[chainLength];
      readDnsName(data, length, kept[i].dataOffset, next.bytes, &next.length, &end);
      bool seen = false;
      for (size_t c = 0; c < chainLength; ++c) seen = seen || sameName(chain[c], next.bytes, next.length);
      if (!seen) {
        ++chainLength;
        grew = true;
      }
    }
  }

  for (size_t i = 0; i < keptCount && out->addressCount < 32; ++i) {
    if (kept[i].type == kTypeCname) continue;
    uint8_t owner[kDnsMaxWireName];
    size_t ownerLength = 0, end = 0;
    readDnsName(data, length, kept[i].ownerOffset, owner, &ownerLength, &end);
    bool reached = false;
    for (size_t c = 0; c < chainLength && !reached; ++c) reached = sameName(chain[c], owner, ownerLength);
    if (!reached) continue;
    DnsAddress& address = out->addresses[out->addressCount++];
    address = DnsAddress();
    address.family = kept[i].type == kTypeA ? 4 : 6;
    std::memcpy(address.address, data + kept[i].dataOffset, kept[i].dataLength);
    address.ttl = kept[i].ttl;
  }
  return true;
}
