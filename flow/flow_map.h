// The open-flow map: FlowKey to FlowRecord, open addressing with the records
// stored inline, so finding a known flow costs one probe of a byte array and
// one touch of the record. Not thread-safe; flowTableMutex guards its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>

#include "flow/flow_record.h"

// A hash map with the interface of std::unordered_map that the flow tables
// use. Slots are chosen from FlowKeyHash's value, mixed (mixedHash); keys
// with equal FlowKeyHash values share their first slot.
// Erasing never moves other entries: iterators and record pointers stay
// valid across erase (not across insert, which may rebuild the table).
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
    operator Iter<true>() const { return Iter<true>(map_, index_); }
    reference operator*() const { return map_->slots_[index_]; }
    pointer operator->() const { return &map_->slots_[index_]; }
    Iter& operator++() {
      index_ = map_->nextFull(index_ + 1);
      return *this;
    }
    Iter operator++(int) {
      Iter before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iter& other) const { return index_ == other.index_; }

   private:
    friend class FlowMap;
    friend class Iter<!Const>;
    using Map = std::conditional_t<Const, const FlowMap, FlowMap>;
    Iter(Map* map, size_t index) : map_(map), index_(index) {}
    Map* map_ = nullptr;
    size_t index_ = 0;
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
  size_t capacity() const { return capacity_; }

  iterator begin() { return iterator(this, nextFull(0)); }
  iterator end() { return iterator(this, capacity_); }
  const_iterator begin() const { return const_iterator(this, nextFull(0)); }
  const_iterator end() const { return const_iterator(this, capacity_); }

  iterator find(const FlowKey& key) { return iterator(this, indexOf(key)); }
  const_iterator find(const FlowKey& key) const { return const_iterator(this, indexOf(key)); }
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

  // Removes every entry; the capacity stays.
  void clear();
  // Makes room for `count` entries without growing again.
  void reserve(size_t count);
  void swap(FlowMap& other) noexcept;

 private:
  static constexpr uint8_t kEmpty = 0x80;
  static constexpr uint8_t kDeleted = 0xfe;  // full slots hold a 7-bit tag
  static constexpr size_t kMinCapacity = 16;

  // FlowKeyHash is a linear sum of the key's fields, so the keys of real
  // traffic (neighbouring addresses and ports) give evenly spaced values;
  // two multiply-xorshift rounds scatter them before the slot is chosen.
  static uint64_t mixedHash(const FlowKey& key) {
    uint64_t x = FlowKeyHash{}(key) * 0x9e3779b97f4a7c15ull;
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ull;
    return x ^ (x >> 32);
  }
  static uint8_t tagOf(uint64_t mixed) { return static_cast<uint8_t>(mixed >> 25) & 0x7f; }
  // The first slot to probe: the top 32 bits of the mixed hash scaled to the
  // capacity.
  size_t homeOf(uint64_t mixed) const { return static_cast<size_t>(((mixed >> 32) * capacity_) >> 32); }
  // Full plus deleted slots allowed before the table is rebuilt: 7/8.
  static size_t loadLimit(size_t capacity) { return capacity - capacity / 8; }

  size_t indexOf(const FlowKey& key) const;
  void eraseAt(size_t index);
  size_t nextFull(size_t index) const;
  // Rebuilds the table with room for at least `count` entries, dropping
  // deleted slots; the capacity may shrink.
  void rebuild(size_t count);
  // An empty slot for a key with this mixed hash; the table has one.
  size_t freeSlotFor(uint64_t mixed) const;

  uint8_t* control_ = nullptr;     // capacity_ bytes: kEmpty, kDeleted or a tag
  value_type* slots_ = nullptr;    // capacity_ slots, constructed where full
  size_t capacity_ = 0;
  size_t size_ = 0;                // full slots
  size_t deleted_ = 0;             // deleted slots
};

inline size_t FlowMap::indexOf(const FlowKey& key) const {
  if (size_ == 0) return capacity_;
  const uint64_t mixed = mixedHash(key);
  const uint8_t tag = tagOf(mixed);
  for (size_t i = homeOf(mixed);;) {
    const uint8_t c = control_[i];
    if (c == tag && slots_[i].first == key) return i;
    if (c == kEmpty) return capacity_;
    if (++i == capacity_) i = 0;
  }
}

inline size_t FlowMap::nextFull(size_t index) const {
  while (index < capacity_ && (control_[index] & 0x80) != 0) ++index;
  return index;
}

template <typename... Args>
std::pair<FlowMap::iterator, bool> FlowMap::try_emplace(const FlowKey& key, Args&&... args) {
  const uint64_t mixed = mixedHash(key);
  const uint8_t tag = tagOf(mixed);
  size_t slot = capacity_;  // first deleted or empty slot on the probe path
  if (capacity_ != 0) {
    for (size_t i = homeOf(mixed);;) {
      const uint8_t c = control_[i];
      if (c == tag && slots_[i].first == key) return {iterator(this, i), false};
      if (c == kDeleted && slot == capacity_) slot = i;
      if (c == kEmpty) {
        if (slot == capacity_) slot = i;
        break;
      }
      if (++i == capacity_) i = 0;
    }
  }
  if (slot == capacity_ || (control_[slot] == kEmpty && size_ + deleted_ + 1 > loadLimit(capacity_))) {
    rebuild(size_ + 1);
    slot = freeSlotFor(mixed);
  }
  if (control_[slot] == kDeleted) --deleted_;
  ::new (static_cast<void*>(&slots_[slot]))
      value_type(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(std::forward<Args>(args)...));
  control_[slot] = tag;
  ++size_;
  return {iterator(this, slot), true};
}
