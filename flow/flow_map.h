// The open-flow map: FlowKey to FlowRecord. An open-addressing index of
// 8-byte slots over records kept in a pool, so finding a known flow costs
// one probe of the compact index and one touch of the record, and a new flow
// writes its record to recently freed or fresh pool memory. Not
// thread-safe; flowTableMutex guards its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "flow/flow_record.h"

// A hash map with the interface of std::unordered_map that the flow tables
// use. Slots are chosen from a mix of all six key fields (mixedHash). Records never move:
// pointers and iterators to them stay valid until they are erased.
// Iteration walks the pool in memory order, so a sweep over a large table
// reads its records sequentially.
class FlowMap {
 public:
  using key_type = FlowKey;
  using mapped_type = FlowRecord;
  using value_type = std::pair<const FlowKey, FlowRecord>;
  using size_type = size_t;

  template <bool Const>
  class Iter {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = FlowMap::value_type;
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
    friend class FlowMap;
    friend class Iter<!Const>;
    using Map = std::conditional_t<Const, const FlowMap, FlowMap>;
    Iter(Map* map, uint32_t node) : map_(map), node_(node) {}
    Map* map_ = nullptr;
    uint32_t node_ = 0;  // pool number; nodesUsed_ at the end
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  FlowMap() = default;
  FlowMap(const FlowMap& other);
  FlowMap(FlowMap&& other) noexcept { swap(other); }
  FlowMap& operator=(FlowMap other) noexcept {
    swap(other);
    return *this;
  }
  ~FlowMap();

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Slots of the index (entries fit up to 7/8 of it).
  size_t capacity() const { return capacity_; }

  iterator begin() { return iterator(this, nextLive(0)); }
  iterator end() { return iterator(this, nodesUsed_); }
  const_iterator begin() const { return const_iterator(this, nextLive(0)); }
  const_iterator end() const { return const_iterator(this, nodesUsed_); }

  iterator find(const FlowKey& key) { return iterator(this, nodeAt(indexOf(key))); }
  const_iterator find(const FlowKey& key) const { return const_iterator(this, nodeAt(indexOf(key))); }
  bool contains(const FlowKey& key) const { return indexOf(key) != capacity_; }
  size_t count(const FlowKey& key) const { return contains(key) ? 1 : 0; }

  // Inserts (key, FlowRecord(args...)) unless the key is present; the
  // arguments are then left untouched.
  template <typename... Args>
  std::pair<iterator, bool> try_emplace(const FlowKey& key, Args&&... args);

  // Erases the entry at `it` (which must be valid); returns the next one.
  iterator erase(iterator it);
  // Erases the entry under `key`; returns 1 when there was one.
  size_t erase(const FlowKey& key);

  // Removes every entry; the index and the pool keep their memory (the
  // index never shrinks).
  void clear();
  // Makes room for `count` entries without growing the index.
  void reserve(size_t count);
  void swap(FlowMap& other) noexcept;

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

  // FlowKeyHash is a linear sum of the key's fields, so the keys of real
  // traffic (neighbouring addresses and ports) give evenly spaced values;
  // two multiply-xorshift rounds scatter them before the slot is chosen.
  static uint32_t mixedHash(const FlowKey& key) {
    // FlowKeyHash leaves dstport out and lets many other field combinations
    // collide ((srcip * 8 + dstip) * 2 + srcport), so traffic could pile
    // keys onto one slot chain. Slots come from all six fields instead.
    uint64_t x = (uint64_t{key.srcip} << 32 | key.dstip) * 0x9e3779b97f4a7c15ull;
    x ^= (uint64_t{key.srcport} << 48 | uint64_t{key.dstport} << 32 | uint64_t{key.tos} << 8 | key.proto);
    x ^= x >> 29;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 32;
    x *= 0x94d049bb133111ebull;
    return static_cast<uint32_t>((x ^ (x >> 31)) >> 32);
  }
  // The first slot to probe: the mixed hash scaled to the capacity.
  size_t homeOf(uint32_t hash) const { return static_cast<size_t>((uint64_t{hash} * capacity_) >> 32); }
  size_t nextSlot(size_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }
  // Entries allowed before the index grows: 7/8 of its slots.
  static size_t loadLimit(size_t capacity) { return capacity - capacity / 8; }

  value_type& node(uint32_t n) const { return chunks_[n >> kChunkBits][n & kChunkMask]; }
  // The pool number held by slot `index`; nodesUsed_ (the end) for capacity_.
  uint32_t nodeAt(size_t index) const { return index == capacity_ ? nodesUsed_ : slots_[index].node; }
  // The slot of `key`, or capacity_.
  size_t indexOf(const FlowKey& key) const;
  // Destroys the record of slot `index` and closes the gap in the index.
  void eraseAt(size_t index);
  // The first live record at or after pool number `n`, or nodesUsed_.
  uint32_t nextLive(uint32_t n) const;
  // Rebuilds the index with 2 * `count` slots. Records stay where they are.
  void rebuild(size_t count);
  // An empty slot for a key with this mixed hash; the index has one.
  size_t freeSlotFor(uint32_t hash) const;
  // A pool number for a new record (its storage is not constructed).
  uint32_t takeNode();

  Slot* slots_ = nullptr;                // capacity_ slots
  size_t capacity_ = 0;
  size_t size_ = 0;                      // full slots = live records
  std::vector<value_type*> chunks_;      // record storage, 4096 records each
  std::vector<uint8_t> live_;            // per pool number: 1 while constructed
  uint32_t nodesUsed_ = 0;               // pool numbers handed out so far
  std::vector<uint32_t> freeNodes_;      // numbers of erased records, reused first
};

inline size_t FlowMap::indexOf(const FlowKey& key) const {
  if (size_ == 0) return capacity_;
  const uint32_t hash = mixedHash(key);
  for (size_t i = homeOf(hash);; i = nextSlot(i)) {
    const Slot s = slots_[i];
    if (s.node == kEmpty) return capacity_;
    if (s.hash == hash && node(s.node).first == key) return i;
  }
}

inline uint32_t FlowMap::nextLive(uint32_t n) const {
  while (n < nodesUsed_ && live_[n] == 0) ++n;
  return n;
}

template <typename... Args>
std::pair<FlowMap::iterator, bool> FlowMap::try_emplace(const FlowKey& key, Args&&... args) {
  const uint32_t hash = mixedHash(key);
  size_t slot = 0;
  if (capacity_ != 0) {
    for (slot = homeOf(hash); slots_[slot].node != kEmpty; slot = nextSlot(slot)) {
      const Slot s = slots_[slot];
      if (s.hash == hash && node(s.node).first == key) return {iterator(this, s.node), false};
    }
  }
  if (size_ + 1 > loadLimit(capacity_)) {
    rebuild(size_ + 1);
    slot = freeSlotFor(hash);
  }
  const uint32_t n = takeNode();
  ::new (static_cast<void*>(&node(n)))
      value_type(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(std::forward<Args>(args)...));
  live_[n] = 1;
  slots_[slot] = Slot{hash, n};
  ++size_;
  return {iterator(this, n), true};
}
