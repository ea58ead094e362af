// The open-flow maps: FlowKey to FlowRecord for IPv4, FlowKey6 to FlowEntry
// for IPv6. An open-addressing index of 8-byte slots over records kept in a
// pool, so finding a known flow costs one probe of the compact index and one
// touch of the record, and a new flow writes its record to recently freed or
// fresh pool memory. A record is its own key (the key's fields are the
// record's), so the pool holds records alone. Not thread-safe;
// flowTableMutex guards the tables' use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "flow/flow_record.h"

// What a map needs of its family: the key of a record, whether a record has
// a key, and the key's hash. Slots are chosen from a mix of all key fields:
// FlowKeyHash is a linear sum of the fields that leaves dstport out, so the
// keys of real traffic (neighbouring addresses and ports) would pile onto
// slot chains; multiply-xorshift rounds scatter them.
struct Ipv4Flows {
  using Key = FlowKey;
  using Record = FlowRecord;
  static Key keyOf(const Record& r) { return ::keyOf(r); }
  static bool holds(const Record& r, const Key& k) {
    return r.srcip == k.srcip && r.dstip == k.dstip && r.srcport == k.srcport && r.dstport == k.dstport &&
           r.tos == k.tos && r.proto == k.proto;
  }
  static uint32_t hash(const Key& k) {
    uint64_t x = (uint64_t{k.srcip} << 32 | k.dstip) * 0x9e3779b97f4a7c15ull;
    x ^= (uint64_t{k.srcport} << 48 | uint64_t{k.dstport} << 32 | uint64_t{k.tos} << 8 | k.proto);
    return finish(x);
  }
  static uint32_t finish(uint64_t x) {
    x ^= x >> 29;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 32;
    x *= 0x94d049bb133111ebull;
    return static_cast<uint32_t>((x ^ (x >> 31)) >> 32);
  }
};

struct Ipv6Flows {
  using Key = FlowKey6;
  using Record = FlowEntry;
  static Key keyOf(const Record& r) { return keyOf6(r); }
  static bool holds(const Record& r, const Key& k) {
    return r.srcport == k.srcport && r.dstport == k.dstport && r.tos == k.tos && r.proto == k.proto &&
           r.srcip6 == k.srcip && r.dstip6 == k.dstip;
  }
  static uint32_t hash(const Key& k) {
    uint64_t w[4];  // the addresses' bytes as they lie: any fixed reading mixes as well
    std::memcpy(w, k.srcip.bytes, 16);
    std::memcpy(w + 2, k.dstip.bytes, 16);
    uint64_t x = (w[0] * 0x9e3779b97f4a7c15ull) ^ (w[1] * 0xc2b2ae3d27d4eb4full);
    x ^= (w[2] * 0x165667b19e3779f9ull) ^ (w[3] * 0xd6e8feb86659fd93ull);
    x ^= (uint64_t{k.srcport} << 48 | uint64_t{k.dstport} << 32 | uint64_t{k.tos} << 8 | k.proto);
    return Ipv4Flows::finish(x);
  }
};

// A hash map with the part of std::unordered_map's interface the flow tables
// use, iterating over records. Records never move: pointers and iterators to
// them stay valid until they are erased. A record's key fields must not
// change while it is in the map. Iteration walks the pool in memory order,
// so a sweep over a large table reads its records sequentially.
template <typename Flows>
class FlowMapOf {
 public:
  using key_type = typename Flows::Key;
  using value_type = typename Flows::Record;
  using size_type = size_t;

  template <bool Const>
  class Iter {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = FlowMapOf::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = std::conditional_t<Const, const value_type*, value_type*>;
    using reference = std::conditional_t<Const, const value_type&, value_type&>;

    Iter() = default;
    operator Iter<true>() const { return Iter<true>(map_, node_); }
    reference operator*() const { return map_->node(node_); }
    pointer operator->() const { return &map_->node(node_); }
    Iter& operator++() {
      node_ = map_->nextLive(node_ + 1);
      return *this;
    }
    Iter operator++(int) {
      Iter before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iter& other) const { return node_ == other.node_; }

   private:
    friend class FlowMapOf;
    friend class Iter<!Const>;
    using Map = std::conditional_t<Const, const FlowMapOf, FlowMapOf>;
    Iter(Map* map, uint32_t node) : map_(map), node_(node) {}
    Map* map_ = nullptr;
    uint32_t node_ = 0;  // pool number; nodesUsed_ at the end
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  FlowMapOf() = default;
  FlowMapOf(const FlowMapOf& other);
  FlowMapOf(FlowMapOf&& other) noexcept { swap(other); }
  FlowMapOf& operator=(FlowMapOf other) noexcept {
    swap(other);
    return *this;
  }
  ~FlowMapOf();

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Slots of the index (entries fit up to 7/8 of it).
  size_t capacity() const { return capacity_; }

  iterator begin() { return iterator(this, nextLive(0)); }
  iterator end() { return iterator(this, nodesUsed_); }
  const_iterator begin() const { return const_iterator(this, nextLive(0)); }
  const_iterator end() const { return const_iterator(this, nodesUsed_); }

  iterator find(const key_type& key) { return iterator(this, nodeAt(indexOf(key))); }
  // The same with the key's hash (hashOf) already at hand.
  iterator find(const key_type& key, uint32_t hash) { return iterator(this, nodeAt(indexOf(key, hash))); }

  // For a batch of look-ups: the key's hash, then a hint to bring its first
  // index slot into the cache, and once that has had time to arrive, the
  // record that slot names. Neither hint changes anything, nor faults.
  static uint32_t hashOf(const key_type& key) { return Flows::hash(key); }
  void prefetchSlot(uint32_t hash) const {
    if (capacity_ != 0) hint(&slots_[homeOf(hash)]);
  }
  void prefetchRecord(uint32_t hash) const {
    if (capacity_ == 0) return;
    const Slot s = slots_[homeOf(hash)];
    if (s.node != kEmpty && s.hash == hash) hint(&node(s.node));
  }

  const_iterator find(const key_type& key) const { return const_iterator(this, nodeAt(indexOf(key))); }
  bool contains(const key_type& key) const { return indexOf(key) != capacity_; }
  size_t count(const key_type& key) const { return contains(key) ? 1 : 0; }

  // Inserts `record` under its own key unless that key is present; the
  // record is then left untouched.
  std::pair<iterator, bool> insert(value_type&& record);

  // Erases the entry at `it` (which must be valid); returns the next one.
  iterator erase(iterator it);
  // Erases the entry under `key`; returns 1 when there was one.
  size_t erase(const key_type& key);

  // Removes every entry; the index and the pool keep their memory (the
  // index never shrinks).
  void clear();
  // Makes room for `count` entries without growing the index.
  void reserve(size_t count);
  void swap(FlowMapOf& other) noexcept;

 private:
  // An index slot: the top 32 bits of the key's mixed hash, which also give
  // its first slot, and the pool number of its record.
  struct Slot {
    uint32_t hash;
    uint32_t node;
  };
  static constexpr uint32_t kEmpty = 0xffffffff;  // Slot::node of an empty slot
  static constexpr size_t kMinCapacity = 16;
  static constexpr unsigned kChunkBits = 12;  // the pool grows by 4096 records
  static constexpr uint32_t kChunkMask = (1u << kChunkBits) - 1;
  static constexpr size_t kChunkRecords = size_t{1} << kChunkBits;

  // The first slot to probe: the mixed hash scaled to the capacity.
  size_t homeOf(uint32_t hash) const { return static_cast<size_t>((uint64_t{hash} * capacity_) >> 32); }
  size_t nextSlot(size_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }
  // Entries allowed before the index grows: 7/8 of its slots.
  static size_t loadLimit(size_t capacity) { return capacity - capacity / 8; }

  value_type& node(uint32_t n) const { return chunks_[n >> kChunkBits][n & kChunkMask]; }
  // A prefetch. The empty asm keeps the compiler from taking a function
  // made of prefetches for one without effect and dropping its calls.
  static void hint(const void* address) {
    __builtin_prefetch(address);
    asm volatile("" : : "r"(address));
  }
  // The pool number held by slot `index`; nodesUsed_ (the end) for capacity_.
  uint32_t nodeAt(size_t index) const { return index == capacity_ ? nodesUsed_ : slots_[index].node; }
  // The slot of `key` (whose hash is `hash`), or capacity_.
  size_t indexOf(const key_type& key) const { return indexOf(key, Flows::hash(key)); }
  size_t indexOf(const key_type& key, uint32_t hash) const;
  // Destroys the record of slot `index` and closes the gap in the index.
  void eraseAt(size_t index);
  // The first live record at or after pool number `n`, or nodesUsed_.
  uint32_t nextLive(uint32_t n) const {
    while (n < nodesUsed_ && live_[n] == 0) ++n;
    return n;
  }
  // Rebuilds the index with 2 * `count` slots. Records stay where they are.
  void rebuild(size_t count);
  // An empty slot for a key with this mixed hash; the index has one.
  size_t freeSlotFor(uint32_t hash) const;
  // A pool number for a new record (its storage is not constructed).
  uint32_t takeNode();

  Slot* slots_ = nullptr;                // capacity_ slots
  size_t capacity_ = 0;
  size_t size_ = 0;                      // full slots = live records
  std::vector<value_type*> chunks_;      // record storage, kChunkRecords records each
  std::vector<uint8_t> live_;            // per pool number: 1 while constructed
  uint32_t nodesUsed_ = 0;               // pool numbers handed out so far
  std::vector<uint32_t> freeNodes_;      // numbers of erased records, reused first
};

using FlowMap = FlowMapOf<Ipv4Flows>;
using FlowMap6 = FlowMapOf<Ipv6Flows>;

template <typename Flows>
inline size_t FlowMapOf<Flows>::indexOf(const key_type& key, uint32_t hash) const {
  if (size_ == 0) return capacity_;
  for (size_t i = homeOf(hash);; i = nextSlot(i)) {
    const Slot s = slots_[i];
    if (s.node == kEmpty) return capacity_;
    if (s.hash == hash && Flows::holds(node(s.node), key)) return i;
  }
}

template <typename Flows>
std::pair<typename FlowMapOf<Flows>::iterator, bool> FlowMapOf<Flows>::insert(value_type&& record) {
  const key_type key = Flows::keyOf(record);
  const uint32_t hash = Flows::hash(key);
  size_t slot = 0;
  if (capacity_ != 0) {
    for (slot = homeOf(hash); slots_[slot].node != kEmpty; slot = nextSlot(slot)) {
      const Slot s = slots_[slot];
      if (s.hash == hash && Flows::holds(node(s.node), key)) return {iterator(this, s.node), false};
    }
  }
  if (size_ + 1 > loadLimit(capacity_)) {
    rebuild(size_ + 1);
    slot = freeSlotFor(hash);
  }
  const uint32_t n = takeNode();
  ::new (static_cast<void*>(&node(n))) value_type(std::move(record));
  live_[n] = 1;
  slots_[slot] = Slot{hash, n};
  ++size_;
  return {iterator(this, n), true};
}

extern template class FlowMapOf<Ipv4Flows>;
extern template class FlowMapOf<Ipv6Flows>;
