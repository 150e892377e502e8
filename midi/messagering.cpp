#include "midi/messagering.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace mmsystem {

MessageRing::MessageRing(size_t capacity)
    : mask_(std::bit_ceil(capacity) - 1), storage_(new uint8_t[mask_ + 1]) {}

bool MessageRing::Write(const uint8_t* bytes, size_t count) {
  return Write(nullptr, 0, bytes, count);
}

bool MessageRing::Write(const uint8_t* head, size_t headCount, const uint8_t* bytes, size_t count) {
  const size_t whole = headCount + count;
  if (whole == 0) return true;
  const size_t at = written_.load(std::memory_order_relaxed);
  const size_t used = at - read_.load(std::memory_order_acquire);
  if (sizeof(Length) + whole > mask_ + 1 - used) return false;
  const auto length = static_cast<Length>(whole);
  Store(at, reinterpret_cast<const uint8_t*>(&length), sizeof length);
  Store(at + sizeof length, head, headCount);
  Store(at + sizeof length + headCount, bytes, count);
  written_.store(at + sizeof length + whole, std::memory_order_release);
  return true;
}

size_t MessageRing::FrontSize() const {
  const size_t at = read_.load(std::memory_order_relaxed);
  if (at == written_.load(std::memory_order_acquire)) return 0;
  Length length = 0;
  Load(at, reinterpret_cast<uint8_t*>(&length), sizeof length);
  return length;
}

void MessageRing::Copy(size_t offset, uint8_t* to, size_t count) const {
  Load(read_.load(std::memory_order_relaxed) + sizeof(Length) + offset, to, count);
}

bool MessageRing::Empty() const {
  return read_.load(std::memory_order_acquire) == written_.load(std::memory_order_acquire);
}

void MessageRing::Pop() {
  const size_t at = read_.load(std::memory_order_relaxed);
  read_.store(at + sizeof(Length) + FrontSize(), std::memory_order_release);
}

void MessageRing::Store(size_t at, const uint8_t* from, size_t count) {
  if (count == 0) return;
  const size_t start = at & mask_;
  const size_t first = std::min(count, mask_ + 1 - start);
  std::memcpy(storage_.get() + start, from, first);
  std::memcpy(storage_.get(), from + first, count - first);
}

void MessageRing::Load(size_t at, uint8_t* to, size_t count) const {
  const size_t start = at & mask_;
  const size_t first = std::min(count, mask_ + 1 - start);
  std::memcpy(to, storage_.get() + start, first);
  std::memcpy(to + first, storage_.get(), count - first);
}

}  // namespace mmsystem
