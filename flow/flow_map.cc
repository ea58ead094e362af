#include "flow/flow_map.h"

#include <memory>
#include <new>

namespace {

// Record chunks start on a cache line, so that a record of 64 bytes (an
// IPv4 one) lies in one line and a look-up that finds it loads one line,
// the one its prefetch asked for. From the general heap, a chunk began 16
// bytes into a line and every record straddled two.
constexpr std::align_val_t kChunkAlignment{64};

}  // namespace

template <typename Flows>
FlowMapOf<Flows>::FlowMapOf(const FlowMapOf& other) {
  reserve(other.size_);
  for (const value_type& record : other) {
    value_type copy = record;
    insert(std::move(copy));
  }
}

template <typename Flows>
FlowMapOf<Flows>::~FlowMapOf() {
  clear();
  delete[] slots_;
  for (value_type* chunk : chunks_) ::operator delete(chunk, kChunkAlignment);
}

template <typename Flows>
uint32_t FlowMapOf<Flows>::takeNode() {
  if (!freeNodes_.empty()) {
    const uint32_t n = freeNodes_.back();
    freeNodes_.pop_back();
    return n;
  }
  if ((nodesUsed_ >> kChunkBits) == chunks_.size()) {
    chunks_.push_back(static_cast<value_type*>(::operator new(kChunkRecords * sizeof(value_type), kChunkAlignment)));
    live_.resize(chunks_.size() * kChunkRecords, 0);
  }
  return nodesUsed_++;
}

template <typename Flows>
void FlowMapOf<Flows>::eraseAt(size_t i) {
  const uint32_t n = slots_[i].node;
  node(n).~value_type();
  live_[n] = 0;
  freeNodes_.push_back(n);
  --size_;
  // Close the gap: each later slot of the run moves back into the hole
  // unless its first slot lies after the hole (cyclically), so every key
  // stays reachable from its first slot without passing an empty one.
  size_t hole = i;
  for (size_t j = nextSlot(i); slots_[j].node != kEmpty; j = nextSlot(j)) {
    const size_t home = homeOf(slots_[j].hash);
    const bool staysPut = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!staysPut) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].node = kEmpty;
}

template <typename Flows>
typename FlowMapOf<Flows>::iterator FlowMapOf<Flows>::erase(iterator it) {
  eraseAt(indexOf(Flows::keyOf(node(it.node_))));
  return iterator(this, nextLive(it.node_ + 1));
}

template <typename Flows>
size_t FlowMapOf<Flows>::erase(const key_type& key) {
  const size_t i = indexOf(key);
  if (i == capacity_) return 0;
  eraseAt(i);
  return 1;
}

template <typename Flows>
void FlowMapOf<Flows>::clear() {
  for (uint32_t n = 0; n < nodesUsed_; ++n) {
    if (live_[n] != 0) node(n).~value_type();
    live_[n] = 0;
  }
  for (size_t i = 0; i < capacity_; ++i) slots_[i].node = kEmpty;
  size_ = 0;
  nodesUsed_ = 0;
  freeNodes_.clear();
}

template <typename Flows>
void FlowMapOf<Flows>::reserve(size_t count) {
  if (count > loadLimit(capacity_)) rebuild(count);
}

template <typename Flows>
void FlowMapOf<Flows>::swap(FlowMapOf& other) noexcept {
  std::swap(slots_, other.slots_);
  std::swap(capacity_, other.capacity_);
  std::swap(size_, other.size_);
  chunks_.swap(other.chunks_);
  live_.swap(other.live_);
  std::swap(nodesUsed_, other.nodesUsed_);
  freeNodes_.swap(other.freeNodes_);
}

template <typename Flows>
size_t FlowMapOf<Flows>::freeSlotFor(uint32_t hash) const {
  size_t i = homeOf(hash);
  while (slots_[i].node != kEmpty) i = nextSlot(i);
  return i;
}

template <typename Flows>
void FlowMapOf<Flows>::rebuild(size_t count) {
  size_t capacity = count * 2;
  if (capacity < kMinCapacity) capacity = kMinCapacity;
  // Only the slots move; each keeps the hash that places it.
  Slot* old = slots_;
  const size_t oldCapacity = capacity_;
  slots_ = new Slot[capacity];
  for (size_t i = 0; i < capacity; ++i) slots_[i] = Slot{0, kEmpty};
  capacity_ = capacity;
  for (size_t i = 0; i < oldCapacity; ++i) {
    if (old[i].node != kEmpty) slots_[freeSlotFor(old[i].hash)] = old[i];
  }
  delete[] old;
}

template class FlowMapOf<Ipv4Flows>;
template class FlowMapOf<Ipv6Flows>;
