#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/errors.h"

// Packet type codes carried in TData::DataType.
enum TDataType : int8_t { dtNone = 0, dtTime = 1, dtMidi = 2, dtAudio = 3, dtChat = 4 };

// Name of a packet type as the monitor shows it; "Unknown" for every byte value above 4.
const char* DataTypeName(uint8_t code);

// One packet: a type code, a 16-bit time stamp and a byte payload that grows by doubling.
// Also the decoder's frame store (TDecoder derives from it).
class TData {
 public:
  // Capacity `size`, zero-filled, nothing in use.
  explicit TData(uint16_t size = 0);
  // Size and Count equal `size`, bytes copied from `buffer`.
  TData(uint16_t size, const uint8_t* buffer);
  // A copy's Size equals the source's Count; assigning is Assign, which keeps the target's
  // buffer when it is large enough.
  TData(const TData& source);
  TData& operator=(const TData& source);
  TData(TData&& source) noexcept;
  TData& operator=(TData&& source) noexcept;
  virtual ~TData();

  uint16_t Size() const { return FSize; }
  uint16_t Count() const { return FCount; }
  // Null while Size is 0. Writable up to Size; SetCount then says how much is in use.
  uint8_t* Bytes() { return FBytes; }
  const uint8_t* Bytes() const { return FBytes; }

  int8_t DataType = dtNone;
  uint16_t Time = 0;

  void SetSize(uint16_t size);
  // Throws EDataIndexOutOfBounds unless index < Size (the capacity, not Count).
  void CheckIndex(int index) const;
  uint8_t GetByte(uint16_t index) const;
  // Growth failures throw ERangeError and leave Count and the bytes unchanged.
  void AddByte(uint8_t value);
  void AddStuffedByte(uint8_t value);
  void AddBytes(uint16_t count, const uint8_t* buffer);
  // No effect for a null source or the packet itself; otherwise Clear (virtual), then copy
  // payload, DataType and Time.
  void Assign(const TData* source);
  // count must lie in 1..Size: 0 or less throws ERangeError, above Size EDataIndexOutOfBounds.
  void SetCount(int count);
  // Count to 0; the buffer and its Size are kept.
  virtual void Clear();
  // Replaces the payload by the wire frame; DataType and Time are kept. Throws ERangeError,
  // leaving the packet unchanged, when DataType is negative or the frame exceeds 32768 bytes.
  void Encode();
  // One monitor line: "TTTTT Name    : [XX,XX,...]", cut after about 1 KB.
  void DumpText(std::string& text) const;

 protected:
  // Makes room for `extra` more bytes under the growth rule; false when a doubling would pass
  // 65535 (Size may already have grown by the doublings that fitted).
  bool TryGrowFor(uint32_t extra);
  // Appends without growing; the caller has made room.
  void AppendUnchecked(const uint8_t* buffer, uint16_t count);

 private:
  void GrowFor(uint32_t extra);
  // Storage for `size` bytes: the inline block when it fits, else the heap; null for 0.
  uint8_t* Allocate(uint16_t size);
  void Release();
  // Moves the source's buffer here and leaves the source empty.
  void TakeBuffer(TData& source) noexcept;

  // Short MIDI messages, their frames and time ticks fit inline, so the per-event paths
  // (decode, copy into the playout buffer, encode) need no heap allocation.
  static constexpr uint16_t InlineSize = 16;

  uint16_t FSize = 0;
  uint16_t FCount = 0;
  uint8_t* FBytes = nullptr;  // FInline, a heap block owned by this packet, or null
  uint8_t FInline[InlineSize] = {};
};

// Decoder states. dsSkip and dsSkipEsc pass over the rest of a frame whose payload outgrew the
// buffer, with the same stuffing rules as dsPayload, so it ends where the sender ended it.
enum TDecoderState : uint8_t {
  dsHunt = 0,
  dsStart = 1,
  dsType = 2,
  dsTypeEsc = 3,
  dsTimeLo = 4,
  dsTimeLoEsc = 5,
  dsTimeHi = 6,
  dsTimeHiEsc = 7,
  dsPayload = 8,
  dsPayloadEsc = 9,
  dsDelivering = 10,
  dsSkip = 11,
  dsSkipEsc = 12,
};

// Rebuilds packets from one connection's byte stream, which may be cut anywhere.
// Used by one thread only; AddData is not re-entrant for the same decoder.
class TDecoder : public TData {
 public:
  using TPacketEvent = std::function<void(TData&)>;

  explicit TDecoder(uint16_t size = 0);
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  // Receives each completed packet; the packet is destroyed when the handler returns.
  // Must be set before data is fed, and not replaced from inside the handler.
  TPacketEvent OnPacket;
  // Raised once for each frame abandoned because its payload outgrew the buffer.
  std::function<void()> OnOversize;

  // Throws EDecoderState when called from its own handler or without a handler; an exception
  // from OnPacket leaves the decoder hunting and the rest of the block unexamined.
  void AddData(uint16_t count, const uint8_t* buffer);
  // Abandons any frame in progress and goes back to hunting.
  void Clear() override;
  TDecoderState State() const { return FState; }

 private:
  const uint8_t* CollectPayload(const uint8_t* from, const uint8_t* end);
  bool TakePlainHeader(const uint8_t*& next, const uint8_t* end);
  // Stores a type or time byte according to the header state, and moves to the next field.
  void StoreHeaderByte(uint8_t value);
  void Deliver();
  void AbandonOversize();

  TDecoderState FState = dsHunt;
};
