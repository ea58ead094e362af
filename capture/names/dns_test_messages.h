// DNS queries and answers made up for the name table's tests and benchmark:
// one question, answers owned by the question's name through a pointer to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DnsTestAnswer {
  uint8_t family;                // 4: an A record, 6: AAAA
  std::vector<uint8_t> address;  // 4 or 16 bytes
  uint32_t ttl;
};

// A query for `name` of `qtype` (IN), or with `response` its answer holding `answers`.
inline std::vector<uint8_t> dnsTestMessage(uint16_t id, const std::string& name, uint16_t qtype,
                                           const std::vector<DnsTestAnswer>& answers, bool response) {
  const size_t count = response ? answers.size() : 0;
  std::vector<uint8_t> m = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(response ? 0x81 : 0x01),
                            static_cast<uint8_t>(response ? 0x80 : 0), 0, 1, static_cast<uint8_t>(count >> 8),
                            static_cast<uint8_t>(count), 0, 0, 0, 0};
  for (size_t start = 0; start < name.size();) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(static_cast<uint8_t>(dot - start));
    m.insert(m.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  m.insert(m.end(), {0, static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1});
  for (size_t i = 0; i < count; ++i) {
    const DnsTestAnswer& a = answers[i];
    const uint8_t type = a.family == 4 ? 1 : 28;
    m.insert(m.end(), {0xc0, 0x0c, 0, type, 0, 1, static_cast<uint8_t>(a.ttl >> 24), static_cast<uint8_t>(a.ttl >> 16),
                       static_cast<uint8_t>(a.ttl >> 8), static_cast<uint8_t>(a.ttl), 0, static_cast<uint8_t>(a.address.size())});
    m.insert(m.end(), a.address.begin(), a.address.end());
  }
  return m;
}
