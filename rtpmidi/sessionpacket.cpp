#include "rtpmidi/sessionpacket.h"

#include <cstring>

#include "rtpmidi/wire.h"

using namespace rtpmidi;

namespace {

constexpr uint16_t Signature = 0xFFFF;

bool CarriesName(const TSessionPacket& packet) {
  return packet.Command == TSessionCommand::Invitation ||
         packet.Command == TSessionCommand::Accepted || !packet.Name.empty();
}

}  // namespace

bool LooksLikeSessionPacket(const uint8_t* data, size_t length) {
  return length >= 4 && data[0] == 0xFF && data[1] == 0xFF;
}

std::vector<uint8_t> EncodeSessionPacket(const TSessionPacket& packet) {
  std::vector<uint8_t> out;
  Put16(out, Signature);
  Put16(out, static_cast<uint16_t>(packet.Command));
  switch (packet.Command) {
    case TSessionCommand::Invitation:
    case TSessionCommand::Accepted:
    case TSessionCommand::Rejected:
    case TSessionCommand::End:
      Put32(out, packet.Version);
      Put32(out, packet.Token);
      Put32(out, packet.Ssrc);
      if (CarriesName(packet)) {
        const size_t length = strnlen(packet.Name.c_str(), packet.Name.size());
        out.insert(out.end(), packet.Name.begin(), packet.Name.begin() + length);
        Put8(out, 0);
      }
      break;
    case TSessionCommand::Sync:
      Put32(out, packet.Ssrc);
      Put8(out, packet.Count);
      out.insert(out.end(), 3, 0);
      for (uint64_t stamp : packet.Timestamps) Put64(out, stamp);
      break;
    case TSessionCommand::Feedback:
      Put32(out, packet.Ssrc);
      Put16(out, packet.Sequence);
      Put16(out, 0);
      break;
  }
  return out;
}

std::optional<TSessionPacket> DecodeSessionPacket(const uint8_t* data, size_t length) {
  TWireReader in(data, length);
  if (in.Get16() != Signature) return std::nullopt;
  TSessionPacket packet;
  packet.Command = static_cast<TSessionCommand>(in.Get16());
  switch (packet.Command) {
    case TSessionCommand::Invitation:
    case TSessionCommand::Accepted:
    case TSessionCommand::Rejected:
    case TSessionCommand::End: {
      packet.Version = in.Get32();
      packet.Token = in.Get32();
      packet.Ssrc = in.Get32();
      if (!in.Ok()) return std::nullopt;
      // Some senders leave the name out of a NO or BY; one that is there must be whole.
      if (in.Left() == 0) break;
      const auto* name = reinterpret_cast<const char*>(in.At());
      const void* nul = std::memchr(name, 0, in.Left());
      if (nul == nullptr) return std::nullopt;
      packet.Name.assign(name, static_cast<const char*>(nul));
      break;
    }
    case TSessionCommand::Sync:
      packet.Ssrc = in.Get32();
      packet.Count = in.Get8();
      in.Skip(3);
      for (uint64_t& stamp : packet.Timestamps) stamp = in.Get64();
      if (packet.Count > 2) return std::nullopt;
      break;
    case TSessionCommand::Feedback:
      packet.Ssrc = in.Get32();
      packet.Sequence = in.Get16();
      in.Skip(2);
      break;
    default:
      return std::nullopt;
  }
  if (!in.Ok()) return std::nullopt;
  return packet;
}
