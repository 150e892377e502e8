#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "midi/mmsystem.h"

// Zero-filled heap block, or null when the size is 0 or memory is exhausted.
void* SharedAlloc(size_t size);
// Null is allowed.
void SharedFree(void* block);
// Tests only: from now on SharedAlloc refuses blocks of exactly `size` bytes (0: none), so
// a test can make one chosen allocation fail.
void RefuseSharedAllocForTesting(size_t size);

// One event as the driver callback delivered it.
struct TRingItem {
  uint32_t TimeStamp;  // ms since input was started
  uint32_t Instant;    // when the MIDI system got it, on timeGetTime's clock
  uint8_t Bytes[3];    // a short message, status first
  uint8_t Length;      // bytes in use; 0 for a long buffer
  MIDIHDR* Header;     // the returned long buffer; null for a short message
};

// Largest ring RingCreate makes, and so the most a port's Capacity may ask for. It is the
// ports' old limit (5461 items of 12 bytes once had to fit in 64 KB), kept as nothing needs more.
constexpr uint16_t kMaxRingCapacity = 5461;

// Fixed-capacity ring between exactly one producer thread (the driver callback: RingPut) and
// one consumer thread (the port's window thread: RingPeek, RingDrop). No lock: Put is touched
// only by the producer, Get only by the consumer, and EventCount hands slots between them.
struct TEventRing {
  TRingItem* Start;
  TRingItem* End;  // one past the last slot
  TRingItem* Put;  // next slot to write
  TRingItem* Get;  // oldest item
  uint16_t Capacity;
  // Release on change, acquire on read: an item is complete before the consumer can see it
  // counted, and a slot is read before the producer can see it free.
  std::atomic<uint16_t> EventCount;
};

// Null when the storage cannot be allocated (capacity 0 included); ERangeError above
// kMaxRingCapacity.
TEventRing* RingCreate(uint16_t capacity);
// Null is allowed.
void RingDestroy(TEventRing* ring);
// False when the ring is full.
bool RingPut(TEventRing* ring, const TRingItem& item);
// Copies the oldest item, which stays in the ring; false (item untouched) when empty.
bool RingPeek(TEventRing* ring, TRingItem& item);
// Removes the oldest item; false when empty.
bool RingDrop(TEventRing* ring);
