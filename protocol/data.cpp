#include "protocol/data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr uint8_t DLE = 0x10;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;

constexpr uint32_t MaxSize = 65535;
// The longest frame Encode builds. A payload grows by doubling and no doubling may pass
// MaxSize; from any Size, doubling up to this length stays within it, so building the frame
// in place cannot fail.
constexpr uint32_t MaxFrameLength = 32768;

// Bytes a value takes on the wire once stuffed.
constexpr uint32_t StuffedLength(uint8_t value) { return value == DLE ? 2 : 1; }

uint8_t* PutStuffed(uint8_t* out, uint8_t value) {
  *out++ = value;
  if (value == DLE) *out++ = DLE;
  return out;
}

// Writes the stuffed form of the first `count` bytes of `buffer`, which hold `dles` DLEs, so
// that it ends just before `end`, working backwards. The output never starts before the input,
// so source and destination may be the same buffer.
void StuffBackwards(uint8_t* buffer, size_t count, size_t dles, uint8_t* end) {
  for (; dles > 0; --dles) {
    const auto* dle = static_cast<const uint8_t*>(memrchr(buffer, DLE, count));
    const size_t dleAt = static_cast<size_t>(dle - buffer);
    const size_t run = count - dleAt - 1;
    end -= run;
    std::memmove(end, dle + 1, run);
    end -= 2;
    end[0] = end[1] = DLE;
    count = dleAt;
  }
  std::memmove(end - count, buffer, count);
}

// Frames are short, so the next DLE is usually a few bytes away; looking there first saves a
// library call per frame.
const uint8_t* FindDle(const uint8_t* from, const uint8_t* end) {
  const uint8_t* const near = end - from > 16 ? from + 16 : end;
  for (; from != near; ++from)
    if (*from == DLE) return from;
  if (from == end) return nullptr;
  return static_cast<const uint8_t*>(std::memchr(from, DLE, end - from));
}

}  // namespace

const char* DataTypeName(uint8_t code) {
  static const char* const Names[] = {"None", "Time", "Midi", "Audio", "Chat"};
  return code < std::size(Names) ? Names[code] : "Unknown";
}

// ---------------------------------------------------------------------------------------------
// TData

TData::TData(uint16_t size) { SetSize(size); }

TData::TData(uint16_t size, const uint8_t* buffer) : TData(size) { AddBytes(size, buffer); }

TData::TData(const TData& source)
    : DataType(source.DataType),
      Time(source.Time),
      FSize(source.FCount),
      FCount(source.FCount),
      FBytes(Allocate(source.FCount)) {
  if (FCount != 0) std::memcpy(FBytes, source.FBytes, FCount);
}

TData& TData::operator=(const TData& source) {
  Assign(&source);
  return *this;
}

TData::TData(TData&& source) noexcept { TakeBuffer(source); }

TData& TData::operator=(TData&& source) noexcept {
  if (this != &source) {
    Release();
    TakeBuffer(source);
  }
  return *this;
}

TData::~TData() { Release(); }

uint8_t* TData::Allocate(uint16_t size) {
  if (size == 0) return nullptr;
  return size <= InlineSize ? FInline : new uint8_t[size];
}

void TData::Release() {
  if (FBytes != FInline) delete[] FBytes;
  FBytes = nullptr;
}

void TData::TakeBuffer(TData& source) noexcept {
  DataType = std::exchange(source.DataType, dtNone);
  Time = std::exchange(source.Time, 0);
  FSize = std::exchange(source.FSize, 0);
  FCount = std::exchange(source.FCount, 0);
  if (source.FBytes == source.FInline) {
    std::memcpy(FInline, source.FInline, FSize);
    FBytes = FInline;
    source.FBytes = nullptr;
  } else {
    FBytes = std::exchange(source.FBytes, nullptr);
  }
}

void TData::SetSize(uint16_t size) {
  if (size == FSize) return;
  uint8_t* const bytes = Allocate(size);
  const uint16_t kept = std::min(size, FSize);
  // Inline to inline is the same block: the kept bytes are already in place.
  if (bytes != FBytes && kept != 0) std::memcpy(bytes, FBytes, kept);
  if (bytes != nullptr) std::memset(bytes + kept, 0, size - kept);
  if (bytes != FBytes) Release();
  FBytes = bytes;
  FSize = size;
  // Bytes past a shrunken buffer are gone; a Count beyond them would read and write outside it.
  FCount = std::min(FCount, FSize);
}

void TData::CheckIndex(int index) const {
  if (index >= 0 && index < FSize) return;
  char text[80];
  std::snprintf(text, sizeof text, "TData : Index (%d) out of bounds [0,%d]", index,
                static_cast<int>(FSize) - 1);
  throw EDataIndexOutOfBounds(text);
}

uint8_t TData::GetByte(uint16_t index) const {
  CheckIndex(index);
  return FBytes[index];
}

bool TData::TryGrowFor(uint32_t extra) {
  const uint32_t needed = FCount + extra;
  if (needed <= FSize) return true;
  if (FSize == 0) {
    if (needed > MaxSize) return false;
    SetSize(static_cast<uint16_t>(needed));
    return true;
  }
  uint32_t size = FSize;
  while (size < needed) {
    if (size * 2 > MaxSize) {
      // The doublings that fitted still take effect, as they would one step at a time.
      SetSize(static_cast<uint16_t>(size));
      return false;
    }
    size *= 2;
  }
  SetSize(static_cast<uint16_t>(size));
  return true;
}

void TData::GrowFor(uint32_t extra) {
  if (!TryGrowFor(extra)) throw ERangeError();
}

void TData::AppendUnchecked(const uint8_t* buffer, uint16_t count) {
  std::memcpy(FBytes + FCount, buffer, count);
  FCount += count;
}

void TData::AddByte(uint8_t value) {
  GrowFor(1);
  FBytes[FCount++] = value;
}

void TData::AddStuffedByte(uint8_t value) {
  AddByte(value);
  if (value == DLE) AddByte(DLE);
}

void TData::AddBytes(uint16_t count, const uint8_t* buffer) {
  if (count == 0) return;
  GrowFor(count);
  AppendUnchecked(buffer, count);
}

void TData::Assign(const TData* source) {
  // Assigning a packet to itself would empty it before copying; it is already equal.
  if (source == nullptr || source == this) return;
  Clear();
  AddBytes(source->FCount, source->FBytes);
  DataType = source->DataType;
  Time = source->Time;
}

void TData::SetCount(int count) {
  if (count <= 0) throw ERangeError();
  CheckIndex(count - 1);
  FCount = static_cast<uint16_t>(count);
}

void TData::Clear() { FCount = 0; }

void TData::Encode() {
  if (DataType < 0) throw ERangeError();
  const auto type = static_cast<uint8_t>(DataType);
  const auto timeLo = static_cast<uint8_t>(Time & 0xFF);
  const auto timeHi = static_cast<uint8_t>(Time >> 8);
  const uint32_t header = 2 + StuffedLength(type) + StuffedLength(timeLo) + StuffedLength(timeHi);
  const uint16_t payload = FCount;
  const auto dles = static_cast<uint32_t>(std::count(FBytes, FBytes + payload, DLE));
  const uint32_t length = header + payload + dles + 2;
  if (length > MaxFrameLength) throw ERangeError();

  // The frame is built in place: stuffing only moves bytes towards the end, so the payload is
  // written back to front before the header overwrites its first bytes.
  Clear();
  GrowFor(length);  // cannot fail: any Size doubles to at most 2 * 32768 - 1
  uint8_t* out = FBytes;
  StuffBackwards(out, payload, dles, out + length - 2);
  out[length - 2] = DLE;
  out[length - 1] = ETX;
  *out++ = DLE;
  *out++ = STX;
  out = PutStuffed(out, type);
  out = PutStuffed(out, timeLo);
  PutStuffed(out, timeHi);
  FCount = static_cast<uint16_t>(length);
}

void TData::DumpText(std::string& text) const {
  // Whole payloads up to 335 bytes fit in 1024 characters; longer ones are cut after byte 336
  // and keep their trailing comma to show the line is incomplete.
  constexpr size_t HeadLength = 17;
  constexpr size_t MaxShown = 336;
  static const char Hex[] = "0123456789ABCDEF";

  char head[HeadLength + 1];
  std::snprintf(head, sizeof head, "%.5d %-7.7s : [", static_cast<int>(Time),
                DataTypeName(static_cast<uint8_t>(DataType)));
  const size_t shown = std::min<size_t>(FCount, MaxShown);
  text.resize(HeadLength + 3 * shown);
  std::memcpy(text.data(), head, HeadLength);
  char* out = text.data() + HeadLength;
  for (size_t i = 0; i < shown; ++i) {
    *out++ = Hex[FBytes[i] >> 4];
    *out++ = Hex[FBytes[i] & 0x0F];
    *out++ = ',';
  }
  if (shown == MaxShown) return;
  if (shown == 0)
    text += ']';
  else
    text.back() = ']';
}

// ---------------------------------------------------------------------------------------------
// TDecoder

TDecoder::TDecoder(uint16_t size) : TData(size) {}

void TDecoder::Clear() {
  TData::Clear();
  FState = dsHunt;
}

void TDecoder::AddData(uint16_t count, const uint8_t* buffer) {
  if (count == 0) return;
  // Without a handler a completed frame would leave the decoder stuck; refuse before any byte.
  if (!OnPacket) throw EDecoderState("TDecoder.AddData : No packet handler");
  const uint8_t* next = buffer;
  const uint8_t* const end = buffer + count;
  while (next != end) {
    // Runs of bytes that need no decision are passed in bulk.
    if (FState == dsPayload) {
      next = CollectPayload(next, end);
      continue;
    }
    if (FState == dsHunt || FState == dsSkip) {
      const uint8_t* dle = FindDle(next, end);
      if (dle == nullptr) return;
      next = dle;
      if (FState == dsHunt && TakePlainHeader(next, end)) continue;
    }
    const uint8_t b = *next++;
    const bool isDle = b == DLE;
    switch (FState) {
      // Hunting and skipping only stop at a DLE, so b is one here.
      case dsHunt:
        FState = dsStart;
        break;
      case dsStart:
        FState = b == STX ? dsType : dsHunt;
        break;
      // The three header bytes share one rule: a DLE must be doubled, and a DLE followed by
      // anything else abandons the frame, consuming that byte.
      case dsType:
      case dsTimeLo:
      case dsTimeHi:
        if (isDle)
          FState = static_cast<TDecoderState>(FState + 1);
        else
          StoreHeaderByte(b);
        break;
      case dsTypeEsc:
      case dsTimeLoEsc:
      case dsTimeHiEsc:
        if (isDle)
          StoreHeaderByte(DLE);
        else
          Clear();
        break;
      case dsPayloadEsc:
        if (isDle) {
          if (TryGrowFor(1)) {
            AppendUnchecked(&b, 1);
            FState = dsPayload;
          } else {
            AbandonOversize();
          }
        } else if (b == ETX) {
          Deliver();
        } else if (b == STX) {
          FState = dsPayload;
        }
        // Any other value is dropped and the next byte is read as the one after the DLE again.
        break;
      case dsSkip:
        FState = dsSkipEsc;
        break;
      case dsSkipEsc:  // as dsPayloadEsc, keeping nothing
        if (b == ETX)
          FState = dsHunt;
        else if (isDle || b == STX)
          FState = dsSkip;
        break;
      default:
        throw EDecoderState("TDecoder.AddData : Invalid state");
    }
  }
}

const uint8_t* TDecoder::CollectPayload(const uint8_t* from, const uint8_t* end) {
  const uint8_t* dle = FindDle(from, end);
  const uint8_t* runEnd = dle != nullptr ? dle : end;
  const auto run = static_cast<uint16_t>(runEnd - from);
  if (run != 0) {
    if (!TryGrowFor(run)) {
      // The rest of the run is plain payload, which skipping would drop anyway.
      AbandonOversize();
      return runEnd;
    }
    AppendUnchecked(from, run);
  }
  if (dle == nullptr) return end;
  if (dle + 1 != end && dle[1] == ETX) {
    Deliver();
    return dle + 2;
  }
  FState = dsPayloadEsc;
  return dle + 1;
}

void TDecoder::StoreHeaderByte(uint8_t value) {
  if (FState <= dsTypeEsc) {
    DataType = static_cast<int8_t>(value);
    FState = dsTimeLo;
  } else if (FState <= dsTimeLoEsc) {
    Time = value;
    FState = dsTimeHi;
  } else {
    Time = static_cast<uint16_t>(Time + 256 * value);
    FState = dsPayload;
  }
}

bool TDecoder::TakePlainHeader(const uint8_t*& next, const uint8_t* end) {
  // Most frames start with an unstuffed header held whole in the block; it is taken in one
  // step, with the same result as five steps through the table. Anything else goes byte by byte.
  if (end - next < 5 || next[1] != STX || next[2] == DLE || next[3] == DLE || next[4] == DLE)
    return false;
  DataType = static_cast<int8_t>(next[2]);
  Time = static_cast<uint16_t>(next[3] | next[4] << 8);
  FState = dsPayload;
  next += 5;
  return true;
}

void TDecoder::Deliver() {
  FState = dsDelivering;
  // Clears whether the handler returns or throws; the packet dies with this scope.
  struct ClearOnExit {
    TDecoder& decoder;
    ~ClearOnExit() { decoder.Clear(); }
  } clearOnExit{*this};
  TData packet(static_cast<const TData&>(*this));
  OnPacket(packet);
}

void TDecoder::AbandonOversize() {
  // Hunting straight away could take a DLE STX inside the rest of this frame for a frame
  // start and deliver a packet made of its tail; skipping with the payload's own rules ends
  // exactly at the sender's DLE ETX, so the next frame is found and nothing of this one is.
  TData::Clear();
  FState = dsSkip;
  if (OnOversize) OnOversize();
}
