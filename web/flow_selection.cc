#include "web/flow_selection.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "flow/ip_text.h"
#include "runtime/console.h"

namespace {

constexpr const char* kColumnNames[] = {"age",         "bytes",     "container", "domain",    "dstip",   "dstport",
                                        "family",      "firstseen", "flags",     "inif",      "lastseen",
                                        "namesource",  "outif",     "peername",  "pkts",      "processname",
                                        "proto",       "service",   "srcip",     "srcport",   "tos",     "user"};
static_assert(sizeof kColumnNames / sizeof *kColumnNames == static_cast<size_t>(FlowColumn::none));

// The owner's text columns, in the order the matcher keeps their texts.
constexpr FlowColumn kTextColumns[] = {FlowColumn::processname, FlowColumn::user, FlowColumn::domain,
                                       FlowColumn::service, FlowColumn::container};
constexpr size_t kTextColumnCount = sizeof kTextColumns / sizeof *kTextColumns;

// The place of `c` in kTextColumns; kTextColumnCount when it is no text column.
size_t textIndex(FlowColumn c) {
  return static_cast<size_t>(std::find(std::begin(kTextColumns), std::end(kTextColumns), c) - std::begin(kTextColumns));
}

bool isTextColumn(FlowColumn c) { return textIndex(c) < kTextColumnCount; }

// The peer's columns: text kept on the record itself, not its owner.
bool isPeerColumn(FlowColumn c) { return c == FlowColumn::peername || c == FlowColumn::namesource; }

std::string_view peerText(const FlowEntry& r, FlowColumn c) {
  return c == FlowColumn::peername ? std::string_view(r.peername()) : std::string_view(r.namesource());
}

// `name` is `wanted` or a name under it ("www.example.com" under "example.com").
bool nameAtOrUnder(std::string_view name, std::string_view wanted) {
  if (wanted.empty() || name.size() < wanted.size() || name.substr(name.size() - wanted.size()) != wanted) {
    return name == wanted;
  }
  return name.size() == wanted.size() || name[name.size() - wanted.size() - 1] == '.';
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

const std::string& ownerText(const FlowEntry& rec, FlowColumn c) {
  switch (c) {
    case FlowColumn::processname: return rec.processname();
    case FlowColumn::user: return rec.user();
    case FlowColumn::service: return rec.service();
    case FlowColumn::container: return rec.container();
    default: return rec.domain();
  }
}

// A numeric column's value; addresses as their 32-bit number.
uint64_t numericValue(const FlowEntry& r, FlowColumn c, uint64_t now) {
  switch (c) {
    case FlowColumn::age: return now - r.lastseen;
    case FlowColumn::bytes: return static_cast<uint32_t>(r.bytes);
    case FlowColumn::dstip: return r.dstip;
    case FlowColumn::dstport: return r.dstport;
    case FlowColumn::family: return r.ipv6() ? 6 : 4;
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

// An address range: the first `length` bits of `bytes` (network order; an
// IPv4 address in the first four).
struct Prefix {
  bool v6 = false;
  uint8_t bytes[16] = {};
  unsigned length = 0;
};

// Reads "address" (IPv6 only, unless `plainIPv4`) or "address/length" as a
// prefix; false for anything else.
bool parsePrefix(const std::string& text, bool plainIPv4, Prefix& out) {
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  uint32_t v4 = 0;
  Ip6Address v6;
  if (parseDotted(address, v4)) {
    if (slash == std::string::npos && !plainIPv4) return false;
    out.v6 = false;
    for (int i = 0; i < 4; ++i) out.bytes[i] = static_cast<uint8_t>(v4 >> (24 - 8 * i));
  } else if (parseIp6(address, v6)) {
    out.v6 = true;
    memcpy(out.bytes, v6.bytes, 16);
  } else {
    return false;
  }
  const unsigned bits = out.v6 ? 128 : 32;
  out.length = bits;
  if (slash == std::string::npos) return true;
  uint64_t length = 0;
  const std::string lengthText = text.substr(slash + 1);
  if (lengthText.size() > 3 || !readWholeNumber(lengthText.c_str(), bits, length)) return false;
  out.length = static_cast<unsigned>(length);
  return true;
}

// Whether the flow's source (or destination) address lies in `p`.
bool endInPrefix(const FlowEntry& r, bool source, const Prefix& p) {
  if (p.v6 != r.ipv6()) return false;
  uint8_t v4[4];
  const uint8_t* end;
  if (r.ipv6()) {
    end = (source ? r.srcip6 : r.dstip6).bytes;
  } else {
    const uint32_t ip = source ? r.srcip : r.dstip;
    for (int i = 0; i < 4; ++i) v4[i] = static_cast<uint8_t>(ip >> (24 - 8 * i));
    end = v4;
  }
  const unsigned whole = p.length / 8, rest = p.length % 8;
  if (memcmp(end, p.bytes, whole) != 0) return false;
  const uint8_t mask = static_cast<uint8_t>(0xff00 >> rest);
  return rest == 0 || ((end[whole] ^ p.bytes[whole]) & mask) == 0;
}

// One filter token, worked out once per request.
struct Token {
  std::string text;                           // substring to find (lower case)
  FlowColumn exactColumn = FlowColumn::none;  // "member=value" tokens
  uint64_t exactNumber = 0;
  bool byPrefix = false;                      // an address range, for the ends below
  bool source = false, destination = false;
  Prefix prefix;
};

std::vector<Token> parseTokens(const std::vector<std::string>& filter) {
  std::vector<Token> tokens;
  for (const std::string& t : filter) {
    Token token;
    token.text = t;
    const size_t eq = t.find('=');
    if (eq != std::string::npos && eq > 0) {
      const std::string name = t.substr(0, eq), value = t.substr(eq + 1);
      const FlowColumn c = flowColumnByName(name.c_str());
      uint64_t number = 0;
      if (isTextColumn(c) || isPeerColumn(c)) {
        token.exactColumn = c;
        token.text = value;
      } else if ((c == FlowColumn::srcip || c == FlowColumn::dstip) && parsePrefix(value, true, token.prefix)) {
        token.exactColumn = c;
        token.byPrefix = true;
        token.source = c == FlowColumn::srcip;
        token.destination = !token.source;
      } else if (c != FlowColumn::none && readWholeNumber(value.c_str(), UINT64_MAX / 10, number)) {
        token.exactColumn = c;
        token.exactNumber = number;
      }
    } else if (parsePrefix(t, false, token.prefix)) {
      token.byPrefix = true;
      token.source = token.destination = true;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

// Writes `n` in decimal at `p`; returns the end.
char* putDecimal(char* p, unsigned n) {
  char digits[10];
  int count = 0;
  do digits[count++] = static_cast<char>('0' + n % 10); while ((n /= 10) != 0);
  while (count) *p++ = digits[--count];
  return p;
}

// Longest endpoint text: "[" + 45 characters of IPv6 text + "]:65535".
constexpr size_t kEndpointTextSize = 56;

// "a.b.c.d", "a.b.c.d:port", "ipv6" or "[ipv6]:port" into `out`; returns its
// length.
size_t endpointText(char* out, const FlowEntry& r, bool source, int port) {
  char* p = out;
  if (r.ipv6()) {
    const std::string text = ip6Text(source ? r.srcip6 : r.dstip6);
    if (port >= 0) *p++ = '[';
    memcpy(p, text.data(), text.size());
    p += text.size();
    if (port >= 0) *p++ = ']';
  } else {
    const uint32_t ip = source ? r.srcip : r.dstip;
    for (int shift = 24; shift >= 0; shift -= 8) {
      p = putDecimal(p, (ip >> shift) & 0xff);
      if (shift) *p++ = '.';
    }
  }
  if (port >= 0) {
    *p++ = ':';
    p = putDecimal(p, static_cast<unsigned>(port));
  }
  return static_cast<size_t>(p - out);
}

std::string_view protoName(uint8_t proto) {
  return proto == 6 ? "tcp" : proto == 17 ? "udp" : proto == 1 ? "icmp" : proto == 58 ? "icmpv6" : "";
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
    std::string fields[kTextColumnCount];
    for (size_t i = 0; i < kTextColumnCount; ++i) fields[i] = lowerAscii(ownerText(r, kTextColumns[i]));
    uint64_t bits = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
      const Token& t = tokens[i];
      bool hit = false;
      if (t.byPrefix) {
        // An address asks for an address, never a name.
      } else if (t.exactColumn == FlowColumn::none) {
        for (const std::string& f : fields) hit = hit || f.find(t.text) != std::string::npos;
      } else if (isTextColumn(t.exactColumn)) {
        hit = fields[textIndex(t.exactColumn)] == t.text;
      }
      if (hit) bits |= uint64_t(1) << i;
    }
    owners.emplace(key, bits);
    return bits;
  }

  bool matches(const FlowEntry& r, uint64_t now) {
    uint64_t bits = ownerBits(r);
    const bool ports = r.proto == 6 || r.proto == 17;
    char src[kEndpointTextSize], dst[kEndpointTextSize];
    const std::string_view srcText(src, endpointText(src, r, true, ports ? r.srcport : -1));
    const std::string_view dstText(dst, endpointText(dst, r, false, ports ? r.dstport : -1));
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (bits >> i & 1) continue;
      const Token& t = tokens[i];
      bool hit;
      if (t.byPrefix) {
        hit = (t.source && endInPrefix(r, true, t.prefix)) || (t.destination && endInPrefix(r, false, t.prefix));
      } else if (t.exactColumn == FlowColumn::none) {
        hit = protoName(r.proto).find(t.text) != std::string_view::npos ||
              srcText.find(t.text) != std::string_view::npos || dstText.find(t.text) != std::string_view::npos ||
              lowerAscii(r.peername()).find(t.text) != std::string::npos;
      } else if (t.exactColumn == FlowColumn::peername) {
        hit = nameAtOrUnder(lowerAscii(r.peername()), t.text);
      } else if (t.exactColumn == FlowColumn::namesource) {
        hit = t.text == r.namesource();
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

// Ranks of the flows' peer texts for a peer column, as textRanks ranks
// owners' texts: index i holds flow i's.
std::vector<uint64_t> peerRanks(const std::vector<FlowEntry>& flows, FlowColumn c) {
  std::map<std::string, uint64_t> order;
  for (const FlowEntry& r : flows) {
    const std::string_view text = peerText(r, c);
    order.emplace(lowerAscii(text) + '\0' + std::string(text), 0);
  }
  uint64_t rank = 0;
  for (auto& entry : order) entry.second = rank++;
  std::vector<uint64_t> ranks;
  ranks.reserve(flows.size());
  for (const FlowEntry& r : flows) {
    const std::string_view text = peerText(r, c);
    ranks.push_back(order.find(lowerAscii(text) + '\0' + std::string(text))->second);
  }
  return ranks;
}

// Sort values of addresses that keep their order: IPv4 addresses as their
// number while every flow is IPv4; with IPv6 flows among them, every address
// by its rank among the distinct addresses, IPv4 before IPv6, each by value.
class AddressRanks {
 public:
  explicit AddressRanks(const std::vector<FlowEntry>& flows) {
    for (const FlowEntry& r : flows) {
      if (r.ipv6()) {
        mixed_ = true;
        break;
      }
    }
    if (!mixed_) return;
    sorted_.reserve(flows.size() * 2);
    for (const FlowEntry& r : flows) {
      sorted_.push_back(orderOf(r, true));
      sorted_.push_back(orderOf(r, false));
    }
    std::sort(sorted_.begin(), sorted_.end());
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
  }

  // Less than 2^32.
  uint64_t operator()(const FlowEntry& r, bool source) const {
    if (!mixed_) return source ? r.srcip : r.dstip;
    return static_cast<uint64_t>(std::lower_bound(sorted_.begin(), sorted_.end(), orderOf(r, source)) - sorted_.begin());
  }

 private:
  // (family, high half, low half); an IPv4 address in the low half.
  using Order = std::tuple<bool, uint64_t, uint64_t>;
  static Order orderOf(const FlowEntry& r, bool source) {
    if (!r.ipv6()) return Order{false, 0, source ? r.srcip : r.dstip};
    const Ip6Address& a = source ? r.srcip6 : r.dstip6;
    return Order{true, a.high(), a.low()};
  }
  bool mixed_ = false;
  std::vector<Order> sorted_;
};

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
  const std::vector<uint64_t> peerRank = isPeerColumn(c) ? peerRanks(flows, c) : std::vector<uint64_t>();
  const AddressRanks address(flows);
  std::vector<Item> items(flows.size());
  for (size_t i = 0; i < flows.size(); ++i) {
    const FlowEntry& r = flows[i];
    const uint64_t src = address(r, true), dst = address(r, false);
    uint64_t key;
    if (isTextColumn(c)) key = ranks[r.owner.get()];
    else if (isPeerColumn(c)) key = peerRank[i];
    else if (c == FlowColumn::srcip) key = src << 16 | r.srcport;
    else if (c == FlowColumn::dstip) key = dst << 16 | r.dstport;
    else key = numericValue(r, c, now);
    items[i] = Item{key, src << 32 | uint64_t(r.srcport) << 16 | uint64_t(r.proto) << 8 | r.tos,
                    dst << 16 | r.dstport, static_cast<uint32_t>(i)};
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
