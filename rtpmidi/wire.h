#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Network byte order for the RTP-MIDI codecs. TWireReader never reads past its end: a read
// that would fails, returns 0 and leaves the reader failed, so a decoder checks once at the end.
namespace rtpmidi {

inline void Put8(std::vector<uint8_t>& out, uint8_t value) { out.push_back(value); }

inline void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

inline void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value >> 16));
  Put16(out, static_cast<uint16_t>(value));
}

inline void Put64(std::vector<uint8_t>& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value >> 32));
  Put32(out, static_cast<uint32_t>(value));
}

class TWireReader {
 public:
  TWireReader(const uint8_t* data, size_t length) : FAt(data), FEnd(data + length) {}

  bool Ok() const { return FOk; }
  size_t Left() const { return FOk ? static_cast<size_t>(FEnd - FAt) : 0; }
  const uint8_t* At() const { return FAt; }

  uint8_t Get8() {
    if (!Take(1)) return 0;
    return FAt[-1];
  }
  uint16_t Get16() {
    const uint16_t high = Get8();
    return static_cast<uint16_t>(high << 8 | Get8());
  }
  uint32_t Get32() {
    const uint32_t high = Get16();
    return high << 16 | Get16();
  }
  uint64_t Get64() {
    const uint64_t high = Get32();
    return high << 32 | Get32();
  }
  // Passes over `count` bytes; fails, moving nowhere, when fewer are left.
  bool Skip(size_t count) { return Take(count); }

 private:
  bool Take(size_t count) {
    if (!FOk || static_cast<size_t>(FEnd - FAt) < count) {
      FOk = false;
      return false;
    }
    FAt += count;
    return true;
  }

  const uint8_t* FAt;
  const uint8_t* FEnd;
  bool FOk = true;
};

}  // namespace rtpmidi
