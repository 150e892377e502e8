#include "midi/circbuf.h"

#include <cstdlib>
#include <new>

#include "platform/errors.h"

namespace {

std::atomic<size_t> refusedAllocSize{0};

}  // namespace

void* SharedAlloc(size_t size) {
  if (size == 0 || size == refusedAllocSize.load(std::memory_order_relaxed)) return nullptr;
  return std::calloc(1, size);
}

void RefuseSharedAllocForTesting(size_t size) {
  refusedAllocSize.store(size, std::memory_order_relaxed);
}

void SharedFree(void* block) { std::free(block); }

TEventRing* RingCreate(uint16_t capacity) {
  // Checked before anything is allocated, so a refused capacity leaks nothing.
  if (capacity > kMaxRingCapacity) throw ERangeError();
  auto* storage = static_cast<TRingItem*>(SharedAlloc(capacity * sizeof(TRingItem)));
  if (storage == nullptr) return nullptr;
  auto* ring =
      new (std::nothrow) TEventRing{storage, storage + capacity, storage, storage, capacity, 0};
  if (ring == nullptr) SharedFree(storage);
  return ring;
}

void RingDestroy(TEventRing* ring) {
  if (ring == nullptr) return;
  SharedFree(ring->Start);
  delete ring;
}

namespace {

TRingItem* Advance(const TEventRing* ring, TRingItem* slot) {
  ++slot;
  return slot == ring->End ? ring->Start : slot;
}

}  // namespace

bool RingPut(TEventRing* ring, const TRingItem& item) {
  if (ring->EventCount.load(std::memory_order_acquire) >= ring->Capacity) return false;
  *ring->Put = item;
  ring->Put = Advance(ring, ring->Put);
  ring->EventCount.fetch_add(1, std::memory_order_release);
  return true;
}

bool RingPeek(TEventRing* ring, TRingItem& item) {
  if (ring->EventCount.load(std::memory_order_acquire) == 0) return false;
  item = *ring->Get;
  return true;
}

bool RingDrop(TEventRing* ring) {
  if (ring->EventCount.load(std::memory_order_acquire) == 0) return false;
  ring->Get = Advance(ring, ring->Get);
  ring->EventCount.fetch_sub(1, std::memory_order_release);
  return true;
}
