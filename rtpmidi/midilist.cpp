#include "rtpmidi/midilist.h"

#include <algorithm>

#include "rtpmidi/wire.h"

using namespace rtpmidi;

namespace {

constexpr uint8_t SysexStart = 0xF0;
constexpr uint8_t SysexEnd = 0xF7;
constexpr uint8_t SysexCancel = 0xF4;
// A delta takes at most four bytes of seven bits.
constexpr uint32_t LongestDelta = 0x0FFFFFFF;

bool IsData(uint8_t byte) { return byte < 0x80; }
bool IsRealTime(uint8_t byte) { return byte >= 0xF8; }

// Data bytes after the status; -1 for the sysex bytes and the undefined F4 and F5.
int DataLength(uint8_t status) {
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 1 : 2;  // Cx and Dx take one
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 1;
    case 0xF2:
      return 2;
    case 0xF6:
      return 0;
    default:
      return IsRealTime(status) ? 0 : -1;
  }
}

bool AllData(const uint8_t* bytes, size_t length) {
  return std::all_of(bytes, bytes + length, IsData);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// RTP header

void EncodeRtpHeader(const TRtpHeader& header, std::vector<uint8_t>& out) {
  Put8(out, 0x80);  // version 2
  Put8(out, static_cast<uint8_t>((header.Marker ? 0x80 : 0) | (header.PayloadType & 0x7F)));
  Put16(out, header.Sequence);
  Put32(out, header.Timestamp);
  Put32(out, header.Ssrc);
}

std::optional<TRtpPacket> DecodeRtpPacket(const uint8_t* data, size_t length) {
  TWireReader in(data, length);
  const uint8_t first = in.Get8();
  const uint8_t second = in.Get8();
  TRtpPacket packet;
  packet.Header.Marker = (second & 0x80) != 0;
  packet.Header.PayloadType = second & 0x7F;
  packet.Header.Sequence = in.Get16();
  packet.Header.Timestamp = in.Get32();
  packet.Header.Ssrc = in.Get32();
  if (!in.Ok() || first >> 6 != 2) return std::nullopt;
  in.Skip(4u * (first & 0x0F));  // CSRCs
  if (first & 0x10) {
    in.Skip(2);  // the extension's profile word
    in.Skip(4u * in.Get16());
  }
  if (!in.Ok()) return std::nullopt;
  size_t payloadLength = in.Left();
  if (first & 0x20) {
    // The last byte counts the padding, itself included.
    const size_t padding = payloadLength == 0 ? 0 : in.At()[payloadLength - 1];
    if (padding == 0 || padding > payloadLength) return std::nullopt;
    payloadLength -= padding;
  }
  packet.Payload = in.At();
  packet.PayloadLength = payloadLength;
  return packet;
}

// ---------------------------------------------------------------------------------------------
// TMidiListWriter

TMidiListWriter::TMidiListWriter(size_t capacity)
    : FCapacity(std::clamp(capacity, ShortestList, LongestList)) {}

size_t TMidiListWriter::DeltaLength(uint32_t delta) const {
  if (FList.empty() && delta == 0) return 0;  // Z clear: the first command has no delta
  size_t length = 1;
  for (delta = std::min(delta, LongestDelta); delta >= 0x80; delta >>= 7) ++length;
  return length;
}

size_t TMidiListWriter::PutDelta(uint32_t delta) {
  const size_t length = DeltaLength(delta);
  if (FList.empty()) FFirstHasDelta = length != 0;
  delta = std::min(delta, LongestDelta);
  for (size_t shift = 7 * length; shift > 0;) {
    shift -= 7;
    Put8(FList, static_cast<uint8_t>((delta >> shift & 0x7F) | (shift > 0 ? 0x80 : 0)));
  }
  return length;
}

size_t TMidiListWriter::Add(uint32_t delta, const uint8_t* message, size_t length) {
  if (FSysexOpen) return AddSysexSegment(delta, message, length);
  const uint8_t status = length == 0 ? 0 : message[0];
  if (status == SysexStart) {
    if (length < 2 || message[length - 1] != SysexEnd || !AllData(message + 1, length - 2)) {
      ++FRefused;
      return length;
    }
    return AddSysexSegment(delta, message, length);
  }
  const int dataLength = IsData(status) ? -1 : DataLength(status);
  if (dataLength < 0 || length != 1u + dataLength || !AllData(message + 1, dataLength)) {
    ++FRefused;
    return length;
  }
  const bool running = status < 0xF0 && status == FRunningStatus;
  if (!Fits(DeltaLength(delta) + length - running)) return 0;
  PutDelta(delta);
  FList.insert(FList.end(), message + running, message + length);
  // System Common cancels running status; System Real-Time leaves it alone.
  if (status < 0xF0)
    FRunningStatus = status;
  else if (!IsRealTime(status))
    FRunningStatus = 0;
  return length;
}

size_t TMidiListWriter::AddSysexSegment(uint32_t delta, const uint8_t* message, size_t length) {
  // A new sysex starts with its F0; the rest of an open one goes out behind an F7. Either way
  // `body` runs to the closing F7.
  const bool continuing = FSysexOpen;
  const uint8_t* const body = continuing ? message : message + 1;
  const size_t bodyLength = continuing ? length : length - 1;
  if (continuing &&
      (length == 0 || message[length - 1] != SysexEnd || !AllData(message, length - 1))) {
    // Not the rest of the sysex: close the open one with the cancel segment, F7 F4.
    if (!Fits(DeltaLength(delta) + 2)) return 0;
    PutDelta(delta);
    Put8(FList, SysexEnd);
    Put8(FList, SysexCancel);
    FSysexOpen = false;
    ++FRefused;
    return length;
  }
  const size_t deltaLength = DeltaLength(delta);
  const uint8_t lead = continuing ? SysexEnd : SysexStart;
  size_t taken = bodyLength;
  if (!Fits(deltaLength + 1 + bodyLength)) {
    // A segment: the lead, as many data bytes as fit with a closing F0, at least one.
    const size_t room = FCapacity - FList.size();
    if (room < deltaLength + 3) return 0;
    taken = room - deltaLength - 2;
  }
  PutDelta(delta);
  Put8(FList, lead);
  FList.insert(FList.end(), body, body + taken);
  FSysexOpen = taken < bodyLength;
  if (FSysexOpen) Put8(FList, SysexStart);
  FRunningStatus = 0;
  return taken + (body - message);
}

void TMidiListWriter::Take(std::vector<uint8_t>& out, bool journalFollows) {
  const size_t length = FList.size();
  const uint8_t flags = (journalFollows ? 0x40 : 0) | (FFirstHasDelta ? 0x20 : 0);
  if (length <= 0x0F) {
    Put8(out, static_cast<uint8_t>(flags | length));
  } else {
    Put8(out, static_cast<uint8_t>(0x80 | flags | length >> 8));
    Put8(out, static_cast<uint8_t>(length));
  }
  out.insert(out.end(), FList.begin(), FList.end());
  FList.clear();
  FFirstHasDelta = false;
  FRunningStatus = 0;
}

// ---------------------------------------------------------------------------------------------
// TMidiListReader

std::optional<TMidiListReader::TReceived> TMidiListReader::Receive(
    const uint8_t* data, size_t length, std::vector<TMidiEvent>& events) {
  const std::optional<TRtpPacket> packet = DecodeRtpPacket(data, length);
  if (!packet || packet->Header.PayloadType != TRtpHeader::MidiPayloadType) {
    ++FDrops.NotMidi;
    return std::nullopt;
  }
  TReceived received;
  received.Header = packet->Header;
  const uint16_t sequence = packet->Header.Sequence;
  if (FStarted) {
    const auto ahead = static_cast<int16_t>(sequence - FLastSequence);
    if (ahead <= 0) {
      ++FDrops.Stale;
      return std::nullopt;
    }
    received.LostBefore = static_cast<uint16_t>(ahead - 1);
  }

  TWireReader in(packet->Payload, packet->PayloadLength);
  const uint8_t flags = in.Get8();
  size_t listLength = flags & 0x0F;
  if (flags & 0x80) listLength = listLength << 8 | in.Get8();
  const uint8_t* const list = in.At();
  if (!in.Skip(listLength)) {
    ++FDrops.MalformedLists;
    return std::nullopt;
  }
  // Only a packet that is taken moves the sequence on.
  FStarted = true;
  FLastSequence = sequence;
  if (received.LostBefore > 0) {
    FDrops.Lost += received.LostBefore;
    BreakSysex();  // a lost packet may have held a segment
  }
  if (!ReadList(list, list + listLength, (flags & 0x20) != 0, events)) ++FDrops.MalformedLists;
  if (flags & 0x40) {
    received.Journal = in.At();
    received.JournalLength = in.Left();
  }
  return received;
}

bool TMidiListReader::ReadList(const uint8_t* at, const uint8_t* end, bool firstHasDelta,
                               std::vector<TMidiEvent>& events) {
  uint32_t offset = 0;
  uint8_t runningStatus = 0;
  for (bool first = true; at != end; first = false) {
    if (!first || firstHasDelta) {
      uint32_t delta = 0;
      for (int octets = 0;; ++octets) {
        if (at == end || octets == 4) return false;
        delta = delta << 7 | (*at & 0x7F);
        if (IsData(*at++)) break;
      }
      offset += delta;
      if (at == end) return false;
    }
    if (*at == SysexStart || *at == SysexEnd) {
      at = ReadSysex(at, end, offset, events);
      if (at == nullptr) return false;
      runningStatus = 0;
      continue;
    }
    const uint8_t status = IsData(*at) ? runningStatus : *at++;
    const int dataLength = status == 0 ? -1 : DataLength(status);
    if (dataLength < 0 || end - at < dataLength || !AllData(at, dataLength)) return false;
    TMidiEvent& event = events.emplace_back();
    event.Offset = offset;
    event.Bytes.push_back(status);
    event.Bytes.insert(event.Bytes.end(), at, at + dataLength);
    at += dataLength;
    if (status < 0xF0)
      runningStatus = status;
    else if (!IsRealTime(status))
      runningStatus = 0;
  }
  return true;
}

const uint8_t* TMidiListReader::ReadSysex(const uint8_t* at, const uint8_t* end, uint32_t offset,
                                          std::vector<TMidiEvent>& events) {
  const uint8_t first = *at++;
  // System Real-Time bytes may sit inside a segment; they are played where they stand.
  std::vector<uint8_t> data;
  for (; at != end; ++at) {
    const uint8_t byte = *at;
    if (IsData(byte)) {
      data.push_back(byte);
    } else if (IsRealTime(byte)) {
      events.push_back({offset, {byte}});
    } else if (byte == SysexStart || byte == SysexEnd || byte == SysexCancel) {
      JoinSegment(first, data.data(), data.size(), byte, offset, events);
      return at + 1;
    } else {
      return nullptr;
    }
  }
  return nullptr;
}

void TMidiListReader::JoinSegment(uint8_t first, const uint8_t* data, size_t length, uint8_t last,
                                  uint32_t offset, std::vector<TMidiEvent>& events) {
  if (first == SysexStart) {
    if (FSysex == TSysex::Joining) ++FDrops.BrokenSysex;  // its end never came
    FSysex = TSysex::Joining;
    FJoined.assign(1, SysexStart);
  } else if (FSysex == TSysex::None) {
    // A middle or last segment whose start was lost; a cancel of nothing is no loss.
    if (last == SysexCancel) return;
    ++FDrops.BrokenSysex;
    FSysex = TSysex::Discarding;
  }
  if (last == SysexCancel) {
    if (FSysex == TSysex::Joining) ++FDrops.CancelledSysex;
    FSysex = TSysex::None;
    return;
  }
  if (FSysex == TSysex::Joining) {
    if (FJoined.size() + length + 1 > MaxSysexLength) {
      ++FDrops.OversizeSysex;
      FSysex = TSysex::Discarding;
      FJoined.clear();
    } else {
      FJoined.insert(FJoined.end(), data, data + length);
    }
  }
  if (last == SysexStart) return;  // more segments follow
  if (FSysex == TSysex::Joining) {
    FJoined.push_back(SysexEnd);
    events.push_back({offset, std::move(FJoined)});
  }
  FJoined.clear();
  FSysex = TSysex::None;
}

void TMidiListReader::BreakSysex() {
  if (FSysex == TSysex::Joining) {
    ++FDrops.BrokenSysex;
    FSysex = TSysex::Discarding;
    FJoined.clear();
  }
}
