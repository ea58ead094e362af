#include "web/flow_selection.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "flow/ip_text.h"
#include "runtime/console.h"

namespace {

constexpr const char* kColumnNames[] = {"age",   "bytes", "domain",      "dstip", "dstport", "firstseen",
                                        "flags", "inif",  "lastseen",    "outif", "pkts",    "processname",
                                        "proto", "srcip", "srcport",     "tos",   "user"};
static_assert(sizeof kColumnNames / sizeof *kColumnNames == static_cast<size_t>(FlowColumn::none));

bool isTextColumn(FlowColumn c) {
  return c == FlowColumn::processname || c == FlowColumn::user || c == FlowColumn::domain;
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

const std::string& ownerText(const FlowEntry& rec, FlowColumn c) {
  return c == FlowColumn::processname ? rec.processname() : c == FlowColumn::user ? rec.user() : rec.domain();
}

// A numeric column's value; addresses as their 32-bit number.
uint64_t numericValue(const FlowEntry& r, FlowColumn c, uint64_t now) {
  switch (c) {
    case FlowColumn::age: return now - r.lastseen;
    case FlowColumn::bytes: return static_cast<uint32_t>(r.bytes);
    case FlowColumn::dstip: return r.dstip;
    case FlowColumn::dstport: return r.dstport;
    case FlowColumn::firstseen: return r.firstseen;
    case FlowColumn::flags: return r.flags;
    case FlowColumn::inif: return r.inif;
    case FlowColumn::lastseen: return r.lastseen;
    case FlowColumn::outif: return r.outif;
    case FlowColumn::pkts: return static_cast<uint32_t>(r.pkts);
    case FlowColumn::proto: return r.proto;
    case FlowColumn::srcip: return r.srcip;
    case FlowColumn::srcport: return r.srcport;
    case FlowColumn::tos: return r.tos;
    default: return 0;
  }
}

// One filter token, worked out once per request.
struct Token {
  std::string text;                      // substring to find (lower case)
  FlowColumn exactColumn = FlowColumn::none;  // "member=value" tokens
  uint64_t exactNumber = 0;
};

std::vector<Token> parseTokens(const std::vector<std::string>& filter) {
  std::vector<Token> tokens;
  for (const std::string& t : filter) {
    Token token{t};
    const size_t eq = t.find('=');
    if (eq != std::string::npos && eq > 0) {
      const std::string name = t.substr(0, eq), value = t.substr(eq + 1);
      const FlowColumn c = flowColumnByName(name.c_str());
      uint32_t address = 0;
      uint64_t number = 0;
      if (isTextColumn(c)) {
        token.exactColumn = c;
        token.text = value;
      } else if ((c == FlowColumn::srcip || c == FlowColumn::dstip) && parseDotted(value, address)) {
        token.exactColumn = c;
        token.exactNumber = address;
      } else if (c != FlowColumn::none && readWholeNumber(value.c_str(), UINT64_MAX / 10, number)) {
        token.exactColumn = c;
        token.exactNumber = number;
      }
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

// "a.b.c.d" or "a.b.c.d:port" into `out`; returns its length.
size_t endpointText(char* out, uint32_t ip, int port) {
  char* p = out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned byte = (ip >> shift) & 0xff;
    if (byte >= 100) *p++ = static_cast<char>('0' + byte / 100);
    if (byte >= 10) *p++ = static_cast<char>('0' + byte / 10 % 10);
    *p++ = static_cast<char>('0' + byte % 10);
    if (shift) *p++ = '.';
  }
  if (port >= 0) {
    *p++ = ':';
    char digits[5];
    int n = 0;
    do digits[n++] = static_cast<char>('0' + port % 10); while ((port /= 10) != 0);
    while (n) *p++ = digits[--n];
  }
  return static_cast<size_t>(p - out);
}

std::string_view protoName(uint8_t proto) {
  return proto == 6 ? "tcp" : proto == 17 ? "udp" : proto == 1 ? "icmp" : "";
}

// Matches records against the tokens; the owner strings are compared once per
// owner, however many flows carry it.
struct Matcher {
  explicit Matcher(const std::vector<std::string>& filter) : tokens(parseTokens(filter)) {}

  // Tokens (as bits) that the record's owner satisfies.
  uint64_t ownerBits(const FlowEntry& r) {
    const FlowOwner* key = r.owner.get();
    auto it = owners.find(key);
    if (it != owners.end()) return it->second;
    const std::string fields[] = {lowerAscii(r.processname()), lowerAscii(r.user()), lowerAscii(r.domain())};
    uint64_t bits = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
      const Token& t = tokens[i];
      bool hit = false;
      if (t.exactColumn == FlowColumn::none) {
        for (const std::string& f : fields) hit = hit || f.find(t.text) != std::string::npos;
      } else if (isTextColumn(t.exactColumn)) {
        hit = fields[t.exactColumn == FlowColumn::processname ? 0 : t.exactColumn == FlowColumn::user ? 1 : 2] == t.text;
      }
      if (hit) bits |= uint64_t(1) << i;
    }
    owners.emplace(key, bits);
    return bits;
  }

  bool matches(const FlowEntry& r, uint64_t now) {
    uint64_t bits = ownerBits(r);
    const bool ports = r.proto == 6 || r.proto == 17;
    char src[24], dst[24];
    const std::string_view srcText(src, endpointText(src, r.srcip, ports ? r.srcport : -1));
    const std::string_view dstText(dst, endpointText(dst, r.dstip, ports ? r.dstport : -1));
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (bits >> i & 1) continue;
      const Token& t = tokens[i];
      bool hit;
      if (t.exactColumn == FlowColumn::none) {
        hit = protoName(r.proto).find(t.text) != std::string_view::npos ||
              srcText.find(t.text) != std::string_view::npos || dstText.find(t.text) != std::string_view::npos;
      } else {
        hit = !isTextColumn(t.exactColumn) && numericValue(r, t.exactColumn, now) == t.exactNumber;
      }
      if (!hit) return false;
    }
    return true;
  }

  std::vector<Token> tokens;
  std::unordered_map<const FlowOwner*, uint64_t> owners;
};

// Sort position of one record: the column's key, then the tie-breaking key.
struct Item {
  uint64_t key;
  uint64_t tieSource;  // srcip, srcport, proto, tos
  uint64_t tieDest;    // dstip, dstport
  uint32_t index;
};

bool ascending(const Item& a, const Item& b) {
  if (a.key != b.key) return a.key < b.key;
  if (a.tieSource != b.tieSource) return a.tieSource < b.tieSource;
  return a.tieDest < b.tieDest;
}

bool descending(const Item& a, const Item& b) { return ascending(b, a); }

std::string_view afterLastSlash(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string_view(name) : std::string_view(name).substr(slash + 1);
}

// Ranks of the owners' texts for a text column: equal texts get equal ranks.
std::unordered_map<const FlowOwner*, uint64_t> textRanks(const std::vector<FlowEntry>& flows, FlowColumn c) {
  std::unordered_map<const FlowOwner*, uint64_t> ranks;
  std::vector<std::pair<std::string, const FlowOwner*>> texts;
  for (const FlowEntry& r : flows) {
    if (!ranks.emplace(r.owner.get(), 0).second) continue;
    const std::string& text = ownerText(r, c);
    std::string order = lowerAscii(c == FlowColumn::processname ? afterLastSlash(text) : text);
    order += '\0';
    order += lowerAscii(text);
    order += '\0';
    order += text;
    texts.emplace_back(std::move(order), r.owner.get());
  }
  std::sort(texts.begin(), texts.end());
  uint64_t rank = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0 && texts[i].first != texts[i - 1].first) ++rank;
    ranks[texts[i].second] = rank;
  }
  return ranks;
}

}  // namespace

bool readWholeNumber(const char* text, uint64_t max, uint64_t& value) {
  if (*text == '\0') return false;
  uint64_t n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || n > (max - static_cast<uint64_t>(*p - '0')) / 10) return false;
    n = n * 10 + static_cast<uint64_t>(*p - '0');
  }
  value = n;
  return true;
}

FlowColumn flowColumnByName(const char* name) {
  for (size_t i = 0; i < static_cast<size_t>(FlowColumn::none); ++i) {
    if (strcmp(name, kColumnNames[i]) == 0) return static_cast<FlowColumn>(i);
  }
  return FlowColumn::none;
}

FlowSelection readFlowSelection(const ArgumentLookup& lookup) {
  FlowSelection s;
  if (const char* text = lookup("sortBy")) {
    s.active = true;
    s.sortBy = flowColumnByName(text);
    if (s.sortBy == FlowColumn::none) consolePrintf("sortBy %s is not a member of a flow; ignored\n", text);
  }
  if (const char* text = lookup("sortOrder")) {
    s.active = true;
    if (strcmp(text, "desc") == 0) {
      s.descending = true;
    } else if (strcmp(text, "asc") != 0) {
      consolePrintf("sortOrder %s is neither asc nor desc; ignored\n", text);
    }
  }
  const auto readCount = [&](const char* name, size_t& out) {
    const char* text = lookup(name);
    if (text == nullptr) return;
    s.active = true;
    uint64_t value = 0;
    if (readWholeNumber(text, INT32_MAX, value) && value >= 1) {
      out = static_cast<size_t>(value);
    } else {
      consolePrintf("%s %s is not a whole number from 1; ignored\n", name, text);
    }
  };
  readCount("pageSize", s.pageSize);
  readCount("page", s.page);
  if (const char* text = lookup("filter")) {
    s.active = true;
    const std::string lower = lowerAscii(text);
    size_t at = 0;
    while ((at = lower.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
      const size_t end = lower.find_first_of(" \t\r\n", at);
      if (s.filter.size() == 64) {
        consolePrintf("filter has more than 64 words; the rest ignored\n");
        break;
      }
      s.filter.push_back(lower.substr(at, end - at));
      at = end;
    }
  }
  return s;
}

SelectedFlows selectFlows(std::vector<FlowEntry> flows, const FlowSelection& selection, uint64_t now) {
  if (!selection.filter.empty()) {
    Matcher matcher(selection.filter);
    flows.erase(std::remove_if(flows.begin(), flows.end(), [&](const FlowEntry& r) { return !matcher.matches(r, now); }),
                flows.end());
  }
  SelectedFlows out;
  out.matched = flows.size();
  const size_t pageSize = std::max<size_t>(selection.pageSize, 1);
  const size_t page = std::max<size_t>(selection.page, 1);
  // The first index of the page; past the end when it would overflow.
  const size_t first = page - 1 > flows.size() / pageSize ? flows.size() : (page - 1) * pageSize;
  if (first >= flows.size()) return out;
  const size_t last = first + std::min(pageSize, flows.size() - first);

  if (selection.sortBy == FlowColumn::none) {
    out.page.assign(std::make_move_iterator(flows.begin() + first), std::make_move_iterator(flows.begin() + last));
    return out;
  }

  const FlowColumn c = selection.sortBy;
  std::unordered_map<const FlowOwner*, uint64_t> ranks;
  if (isTextColumn(c)) ranks = textRanks(flows, c);
  std::vector<Item> items(flows.size());
  for (size_t i = 0; i < flows.size(); ++i) {
    const FlowEntry& r = flows[i];
    uint64_t key;
    if (isTextColumn(c)) key = ranks[r.owner.get()];
    else if (c == FlowColumn::srcip) key = uint64_t(r.srcip) << 16 | r.srcport;
    else if (c == FlowColumn::dstip) key = uint64_t(r.dstip) << 16 | r.dstport;
    else key = numericValue(r, c, now);
    items[i] = Item{key, uint64_t(r.srcip) << 32 | uint64_t(r.srcport) << 16 | uint64_t(r.proto) << 8 | r.tos,
                    uint64_t(r.dstip) << 16 | r.dstport, static_cast<uint32_t>(i)};
  }
  const auto order = selection.descending ? descending : ascending;
  const auto begin = items.begin() + static_cast<ptrdiff_t>(first);
  const auto end = items.begin() + static_cast<ptrdiff_t>(last);
  if (first > 0) std::nth_element(items.begin(), begin, items.end(), order);
  std::partial_sort(begin, end, items.end(), order);
  out.page.reserve(last - first);
  for (auto it = begin; it != end; ++it) out.page.push_back(std::move(flows[it->index]));
  return out;
}
