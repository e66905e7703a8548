// A fixed ring for one producer thread and one consumer thread, without a lock.
//
// Contracts:
// - push is called from one thread only and pop from one other thread only; neither waits.
// - The ring holds at most capacity - 1 items: a push into a full ring fails and leaves the
//   value with the caller.
// - The producer fills a slot before it publishes writeIndex; the consumer advances readIndex
//   before it moves the slot out, and the producer never writes the slot at readIndex (that is
//   the full condition), so the slot being moved out is never written meanwhile.
// - pop moves the item out of its slot, so the ring keeps nothing an item owned (a callback's
//   captured state, for instance) once the item has been taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace Tarnwick {

template <class T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint32_t slotCount)
      : capacity(static_cast<uint16_t>(slotCount)), slots(std::make_unique<T[]>(this->capacity)) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // False when full; the value is then not taken.
  bool push(T&& value) {
    const uint16_t next = _increment(writeIndex.load());
    if (next == readIndex.load()) return false;
    slots[next] = std::move(value);
    writeIndex.store(next);
    return true;
  }
  bool push(const T& value) {
    T copy = value;
    return push(std::move(copy));
  }

  // False when empty.
  bool pop(T* out) {
    const uint16_t read = readIndex.load();
    if (read == writeIndex.load()) return false;
    const uint16_t next = _increment(read);
    readIndex.store(next);
    *out = std::move(slots[next]);
    slots[next] = T();
    return true;
  }

  uint16_t getCapacity() const { return capacity; }

 private:
  uint16_t _increment(uint16_t i) const { return static_cast<uint16_t>(i + 1u < capacity ? i + 1u : 0u); }

  const uint16_t capacity;
  std::unique_ptr<T[]> slots;
  std::atomic<uint16_t> writeIndex{0};  // the slot last written
  std::atomic<uint16_t> readIndex{0};   // the slot last read
};

}  // namespace Tarnwick
