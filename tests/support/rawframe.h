#pragma once

#include <cstdint>
#include <vector>

// A frame stuffed by hand, so tests do not share the encoder they check against.
inline std::vector<uint8_t> Frame(uint8_t type, uint16_t time,
                                  const std::vector<uint8_t>& payload) {
  constexpr uint8_t DLE = 0x10, STX = 0x02, ETX = 0x03;
  std::vector<uint8_t> frame = {DLE, STX};
  frame.reserve(payload.size() + 16);
  const auto stuffed = [&](uint8_t b) {
    frame.push_back(b);
    if (b == DLE) frame.push_back(b);
  };
  stuffed(type);
  stuffed(static_cast<uint8_t>(time & 0xFF));
  stuffed(static_cast<uint8_t>(time >> 8));
  for (uint8_t b : payload) stuffed(b);
  frame.push_back(DLE);
  frame.push_back(ETX);
  return frame;
}
