#pragma once

// Whole MIDI messages handed from one thread to one other without a lock, for the JACK
// process thread, which must neither block nor allocate. Storage is fixed at construction.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace mmsystem {

// Single producer, single consumer. Each message is stored as its length and its bytes.
// The producer calls Write only; the consumer calls FrontSize, Copy and Pop only.
class MessageRing {
 public:
  // Room for `capacity` bytes of messages and their lengths; rounded up to a power of two.
  explicit MessageRing(size_t capacity);

  // False, with nothing written, when the message does not fit now.
  bool Write(const uint8_t* bytes, size_t count);
  // Writes `head` and `bytes` as one message, so a fixed header needs no copy to join them.
  bool Write(const uint8_t* head, size_t headCount, const uint8_t* bytes, size_t count);

  // Length of the oldest message; 0 when the ring is empty.
  size_t FrontSize() const;
  // Copies `count` bytes of the oldest message from `offset` on.
  void Copy(size_t offset, uint8_t* to, size_t count) const;
  // Drops the oldest message; the ring must not be empty.
  void Pop();

  // Either side: true when every message written has been popped.
  bool Empty() const;

 private:
  using Length = uint32_t;

  void Store(size_t at, const uint8_t* from, size_t count);
  void Load(size_t at, uint8_t* to, size_t count) const;

  const size_t mask_;
  const std::unique_ptr<uint8_t[]> storage_;
  // Both count bytes ever written or read, so they never meet by wrapping. Each is stored by
  // its own side with release and read by the other with acquire: a message's bytes are in
  // place before the consumer sees them, and read before the producer may reuse them.
  std::atomic<size_t> written_ = 0;  // producer side
  std::atomic<size_t> read_ = 0;     // consumer side
};

}  // namespace mmsystem
