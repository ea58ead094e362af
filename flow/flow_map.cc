#include "flow/flow_map.h"

#include <cstring>
#include <memory>

namespace {
std::allocator<FlowMap::value_type> slotAllocator;
}  // namespace

FlowMap::FlowMap(const FlowMap& other) {
  reserve(other.size_);
  for (const value_type& entry : other) try_emplace(entry.first, entry.second);
}

FlowMap::~FlowMap() {
  clear();
  if (capacity_ != 0) {
    slotAllocator.deallocate(slots_, capacity_);
    delete[] control_;
  }
}

void FlowMap::eraseAt(size_t i) {
  slots_[i].~value_type();
  --size_;
  // A slot followed by an empty one lies on no other key's probe path, so it
  // can become empty rather than deleted, and so can the deleted slots right
  // before it.
  const size_t next = i + 1 == capacity_ ? 0 : i + 1;
  if (control_[next] == kEmpty) {
    control_[i] = kEmpty;
    for (size_t j = i == 0 ? capacity_ - 1 : i - 1; control_[j] == kDeleted; j = j == 0 ? capacity_ - 1 : j - 1) {
      control_[j] = kEmpty;
      --deleted_;
    }
  } else {
    control_[i] = kDeleted;
    ++deleted_;
  }
}

FlowMap::iterator FlowMap::erase(iterator it) {
  eraseAt(it.index_);
  return iterator(this, nextFull(it.index_ + 1));
}

size_t FlowMap::erase(const FlowKey& key) {
  const size_t i = indexOf(key);
  if (i == capacity_) return 0;
  eraseAt(i);
  return 1;
}

void FlowMap::clear() {
  for (size_t i = 0; i < capacity_; ++i) {
    if ((control_[i] & 0x80) == 0) slots_[i].~value_type();
  }
  if (capacity_ != 0) std::memset(control_, kEmpty, capacity_);
  size_ = 0;
  deleted_ = 0;
}

void FlowMap::reserve(size_t count) {
  if (count == 0) return;
  if (capacity_ == 0 || count + deleted_ > loadLimit(capacity_)) rebuild(count < size_ ? size_ : count);
}

void FlowMap::swap(FlowMap& other) noexcept {
  std::swap(control_, other.control_);
  std::swap(slots_, other.slots_);
  std::swap(capacity_, other.capacity_);
  std::swap(size_, other.size_);
  std::swap(deleted_, other.deleted_);
}

size_t FlowMap::freeSlotFor(uint64_t mixed) const {
  size_t i = homeOf(mixed);
  while (control_[i] != kEmpty) {
    if (++i == capacity_) i = 0;
  }
  return i;
}

void FlowMap::rebuild(size_t count) {
  // When deleted slots filled the table and the entries take between 1/4
  // and 13/16 of it, keep the capacity: a table held near a fixed size by
  // erasures keeps its memory, and at least 1/16 of it can fill before the
  // next rebuild. Otherwise make room for `count` entries at a load of about
  // 4/7, so that at least 1/4 of the table can fill (or be deleted) first.
  size_t capacity = capacity_;
  if (count > capacity_ / 16 * 13 || count < capacity_ / 4) {
    capacity = count + count * 3 / 4;
    if (capacity < kMinCapacity) capacity = kMinCapacity;
    while (loadLimit(capacity) < count) ++capacity;
  }

  uint8_t* oldControl = control_;
  value_type* oldSlots = slots_;
  const size_t oldCapacity = capacity_;
  control_ = new uint8_t[capacity];
  std::memset(control_, kEmpty, capacity);
  slots_ = slotAllocator.allocate(capacity);
  capacity_ = capacity;
  deleted_ = 0;
  // Entries move in old-slot order; the new home of each is fetched into
  // the cache a few entries ahead, as the homes are scattered.
  constexpr size_t kAhead = 8;
  struct Pending {
    size_t from;
    uint64_t mixed;
  } pending[kAhead];
  size_t queued = 0;
  auto place = [&](const Pending& p) {
    const size_t slot = freeSlotFor(p.mixed);
    ::new (static_cast<void*>(&slots_[slot])) value_type(std::move(oldSlots[p.from]));
    control_[slot] = tagOf(p.mixed);
    oldSlots[p.from].~value_type();
  };
  for (size_t i = 0; i < oldCapacity; ++i) {
    if ((oldControl[i] & 0x80) != 0) continue;
    const uint64_t mixed = mixedHash(oldSlots[i].first);
    const size_t home = homeOf(mixed);
    __builtin_prefetch(&control_[home], 1);
    __builtin_prefetch(&slots_[home], 1);
    Pending& entry = pending[queued++ % kAhead];
    if (queued > kAhead) place(entry);
    entry = Pending{i, mixed};
  }
  for (size_t n = queued > kAhead ? queued - kAhead : 0; n < queued; ++n) place(pending[n % kAhead]);
  if (oldCapacity != 0) {
    slotAllocator.deallocate(oldSlots, oldCapacity);
    delete[] oldControl;
  }
}
