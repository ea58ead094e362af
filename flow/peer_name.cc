#include "flow/peer_name.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

struct Entry {
  std::string name;
  NameSource source = NameSource::kNone;
  std::atomic<uint32_t> refs{0};
  bool live = false;  // guarded by the pool's mutex
};

// Entries live in chunks that never move, so a holder reads its entry
// without the lock. Id n is entry n - 1.
constexpr uint32_t kChunkEntries = 4096;
constexpr uint32_t kChunks = kMaxPeerNames / kChunkEntries;
std::atomic<Entry*> chunks[kChunks];

// The pool's index. Made once and never destroyed: records held by other
// globals (the export queue) still release their names while the program's
// globals are torn down at exit.
struct PoolIndex {
  // Guards byName, freeIds, nextId, chunk creation and every entry's name,
  // source and live flag while the entry is not referenced.
  std::mutex mutex;
  std::unordered_map<std::string, uint32_t> byName;  // source byte + name -> id
  std::vector<uint32_t> freeIds;
  uint32_t nextId = 1;
};

PoolIndex& pool() {
  static PoolIndex* const index = new PoolIndex;
  return *index;
}

std::atomic<size_t> held{0};

Entry& entryOf(uint32_t id) {
  const uint32_t n = id - 1;
  return chunks[n / kChunkEntries].load(std::memory_order_acquire)[n % kChunkEntries];
}

// A free id with its chunk present, or 0 when the pool is full. Caller holds p.mutex.
uint32_t takeId(PoolIndex& p) {
  if (!p.freeIds.empty()) {
    const uint32_t id = p.freeIds.back();
    p.freeIds.pop_back();
    return id;
  }
  if (p.nextId > kMaxPeerNames) return 0;
  const uint32_t chunk = (p.nextId - 1) / kChunkEntries;
  if (chunks[chunk].load(std::memory_order_relaxed) == nullptr) {
    chunks[chunk].store(new Entry[kChunkEntries], std::memory_order_release);
  }
  return p.nextId++;
}

void retain(uint32_t id) {
  if (id != 0) entryOf(id).refs.fetch_add(1, std::memory_order_relaxed);
}

void release(uint32_t id) {
  if (id == 0) return;
  Entry& e = entryOf(id);
  if (e.refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  PoolIndex& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  // Someone may have found the name again since the count reached zero.
  if (!e.live || e.refs.load(std::memory_order_acquire) != 0) return;
  p.byName.erase(static_cast<char>(e.source) + e.name);
  e.live = false;
  e.name.clear();
  e.name.shrink_to_fit();
  p.freeIds.push_back(id);
  held.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

const char* nameSourceText(NameSource source) {
  switch (source) {
    case NameSource::kDns: return "dns";
    case NameSource::kTls: return "tls";
    case NameSource::kQuic: return "quic";
    case NameSource::kNone: break;
  }
  return "";
}

NameSource nameSourceByText(std::string_view text) {
  for (NameSource s : {NameSource::kDns, NameSource::kTls, NameSource::kQuic}) {
    if (text == nameSourceText(s)) return s;
  }
  return NameSource::kNone;
}

PeerName PeerName::make(std::string_view name, NameSource source) {
  PeerName ref;
  if (name.empty() || source == NameSource::kNone) return ref;
  if (name.size() > kMaxPeerNameBytes) name = name.substr(0, kMaxPeerNameBytes);
  std::string key(1, static_cast<char>(source));
  key.append(name);
  PoolIndex& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (auto it = p.byName.find(key); it != p.byName.end()) {
    entryOf(it->second).refs.fetch_add(1, std::memory_order_relaxed);
    ref.id_ = it->second;
    return ref;
  }
  const uint32_t id = takeId(p);
  if (id == 0) return ref;
  Entry& e = entryOf(id);
  e.name.assign(name);
  e.source = source;
  e.live = true;
  e.refs.store(1, std::memory_order_release);
  p.byName.emplace(std::move(key), id);
  held.fetch_add(1, std::memory_order_relaxed);
  ref.id_ = id;
  return ref;
}

PeerName::PeerName(const PeerName& other) : id_(other.id_) { retain(id_); }

PeerName& PeerName::operator=(const PeerName& other) {
  if (id_ != other.id_) {
    retain(other.id_);
    release(id_);
    id_ = other.id_;
  }
  return *this;
}

PeerName& PeerName::operator=(PeerName&& other) noexcept {
  if (this != &other) {
    release(id_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

PeerName::~PeerName() { release(id_); }

NameSource PeerName::source() const { return id_ == 0 ? NameSource::kNone : entryOf(id_).source; }

const std::string& PeerName::text() const {
  static const std::string empty;
  return id_ == 0 ? empty : entryOf(id_).name;
}

size_t peerNamesHeld() { return held.load(std::memory_order_relaxed); }
