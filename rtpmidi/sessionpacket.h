#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The AppleMIDI session packets of Apple's "MIDI Network Driver Protocol": 0xFFFF, a
// two-letter command, then the command's fields in network byte order. They share the
// control and data ports with RTP, whose first byte is never 0xFF.
enum class TSessionCommand : uint16_t {
  Invitation = 0x494E,  // "IN"
  Accepted = 0x4F4B,    // "OK"
  Rejected = 0x4E4F,    // "NO"
  End = 0x4259,         // "BY"
  Sync = 0x434B,        // "CK"
  Feedback = 0x5253,    // "RS"
};

struct TSessionPacket {
  static constexpr uint32_t ProtocolVersion = 2;

  TSessionCommand Command = TSessionCommand::Invitation;
  // IN, OK, NO, BY. The name travels NUL-terminated: always in IN and OK, in NO and BY only
  // when there is one.
  uint32_t Version = ProtocolVersion;
  uint32_t Token = 0;
  std::string Name;
  // Every command: the sender's stream.
  uint32_t Ssrc = 0;
  // CK: the step (0 initiator, 1 responder, 2 initiator) and the three 100 µs stamps.
  uint8_t Count = 0;
  std::array<uint64_t, 3> Timestamps{};
  // RS: the last RTP sequence number the receiver holds.
  uint16_t Sequence = 0;

  bool operator==(const TSessionPacket&) const = default;
};

// True when the datagram starts like a session packet rather than RTP.
bool LooksLikeSessionPacket(const uint8_t* data, size_t length);

// The datagram for `packet`. A name is cut at its first NUL, which would end it on the wire.
std::vector<uint8_t> EncodeSessionPacket(const TSessionPacket& packet);

// Nothing when the datagram is not a whole session packet: another header, an unknown command,
// a short field, a sync step above 2, or a name without its NUL. Bytes after the fields are
// ignored.
std::optional<TSessionPacket> DecodeSessionPacket(const uint8_t* data, size_t length);
