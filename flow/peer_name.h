// Peer names of flows: an interned, reference-counted pool of (name, source)
// pairs, so that a flow record holds only a 4-byte reference. Any thread;
// the pool's lock is taken only to add a name and to free the last
// reference to one, never on a copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Where a flow's peer name came from.
enum class NameSource : uint8_t { kNone = 0, kDns = 1, kTls = 2, kQuic = 3 };

// "", "dns", "tls" or "quic".
const char* nameSourceText(NameSource source);
// The source that text names; kNone for any other text.
NameSource nameSourceByText(std::string_view text);

// Longest name kept, in bytes; a longer one is cut to it.
inline constexpr size_t kMaxPeerNameBytes = 255;
// Most (name, source) pairs held at once; a new one beyond it names nothing.
inline constexpr uint32_t kMaxPeerNames = 1u << 20;

// A reference to one pool entry, or none (id 0). Copies share the entry;
// the entry is freed with its last reference.
class PeerName {
 public:
  PeerName() = default;
  // The entry for `name` from `source` (added when new); none for an empty
  // name, NameSource::kNone or a full pool.
  static PeerName make(std::string_view name, NameSource source);

  PeerName(const PeerName& other);
  PeerName(PeerName&& other) noexcept : id_(other.id_) { other.id_ = 0; }
  PeerName& operator=(const PeerName& other);
  PeerName& operator=(PeerName&& other) noexcept;
  ~PeerName();

  explicit operator bool() const { return id_ != 0; }
  bool operator==(const PeerName& other) const { return id_ == other.id_; }
  NameSource source() const;
  // The name; "" for none.
  const std::string& text() const;

 private:
  uint32_t id_ = 0;
};

// Entries in use (for the status document and tests).
size_t peerNamesHeld();
