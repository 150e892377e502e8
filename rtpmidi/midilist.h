#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// RTP packets carrying MIDI: the RTP header (RFC 3550) and the MIDI command section of
// RFC 6295 (section 3), both ways. Times are RTP timestamp units; no clock, no socket.

struct TRtpHeader {
  // The dynamic payload type AppleMIDI sessions use for MIDI.
  static constexpr uint8_t MidiPayloadType = 97;

  uint8_t PayloadType = MidiPayloadType;
  bool Marker = false;
  uint16_t Sequence = 0;
  uint32_t Timestamp = 0;
  uint32_t Ssrc = 0;
};

// Appends the 12-byte header: version 2, no padding, extension or CSRC.
void EncodeRtpHeader(const TRtpHeader& header, std::vector<uint8_t>& out);

struct TRtpPacket {
  TRtpHeader Header;
  const uint8_t* Payload = nullptr;
  size_t PayloadLength = 0;
};

// The header and where the payload lies: CSRCs and an extension are passed over, padding is
// taken off the end. Nothing unless the version is 2 and every length fits the datagram.
std::optional<TRtpPacket> DecodeRtpPacket(const uint8_t* data, size_t length);

// Fills one packet's MIDI list from whole messages, with running status, and splits a
// system-exclusive message that does not fit into segments across packets (RFC 6295 3.2).
class TMidiListWriter {
 public:
  // The long header's 12-bit length bounds a list.
  static constexpr size_t LongestList = 4095;
  // Room for the longest command with the longest delta, or a sysex segment of one byte.
  static constexpr size_t ShortestList = 8;

  // Lists hold at most `capacity` bytes, kept within ShortestList..LongestList.
  explicit TMidiListWriter(size_t capacity = 1024);

  // Adds one whole message `delta` timestamp units after the previous command (after the
  // packet's timestamp for the first one). Returns how many of its bytes went in: all; none
  // when the list is full (take it and add again); or, for a sysex F0 ... F7, the part that
  // went in as a segment, in which case the list is full and the rest (from the returned
  // offset) goes into the following lists with further Adds, which continue the sysex until it
  // ends. A message that is not one whole MIDI message (a wrong length or a data byte out of
  // place, a sysex without its F7, the undefined F4 and F5) is counted in Refused and taken
  // whole, so a caller's loop moves on.
  size_t Add(uint32_t delta, const uint8_t* message, size_t length);

  bool Empty() const { return FList.empty(); }
  uint64_t Refused() const { return FRefused; }

  // Appends the command section (header and list; J set when a journal will follow) and starts
  // the next list, whose first command carries its status again. A sysex in progress goes on.
  void Take(std::vector<uint8_t>& out, bool journalFollows);

 private:
  bool Fits(size_t bytes) const { return FList.size() + bytes <= FCapacity; }
  // Writes the delta unless it is the first command's and zero; returns its length.
  size_t PutDelta(uint32_t delta);
  size_t DeltaLength(uint32_t delta) const;
  size_t AddSysexSegment(uint32_t delta, const uint8_t* message, size_t length);

  size_t FCapacity;
  std::vector<uint8_t> FList;
  bool FFirstHasDelta = false;
  uint8_t FRunningStatus = 0;
  bool FSysexOpen = false;
  uint64_t FRefused = 0;
};

// One message from a MIDI list: `Offset` timestamp units after its packet's timestamp.
struct TMidiEvent {
  uint32_t Offset = 0;
  std::vector<uint8_t> Bytes;

  bool operator==(const TMidiEvent&) const = default;
};

// What a receiver dropped, by cause.
struct TMidiListDrops {
  uint64_t NotMidi = 0;         // not RTP, or another payload type
  uint64_t Stale = 0;           // a sequence number at or before one already received
  uint64_t Lost = 0;            // packets missing from the sequence
  uint64_t MalformedLists = 0;  // lists cut short where a command broke the rules
  uint64_t OversizeSysex = 0;   // joined sysex past MaxSysexLength
  uint64_t CancelledSysex = 0;  // ended by the sender with F4
  uint64_t BrokenSysex = 0;     // a segment missing, so the pieces could not be joined
};

// Decodes one sender's RTP-MIDI packets in order, joining sysex segments across them.
class TMidiListReader {
 public:
  static constexpr size_t MaxSysexLength = 65536;

  struct TReceived {
    TRtpHeader Header;
    // Packets missing just before this one: the journal then says what they held.
    uint16_t LostBefore = 0;
    // The recovery journal after the list, when the J flag is set.
    const uint8_t* Journal = nullptr;
    size_t JournalLength = 0;
  };

  // Appends the packet's messages to `events`. Nothing (and no events) for a datagram that is
  // not MIDI, a stale packet, or a section whose length passes the datagram's end. A list that
  // breaks the rules ends at the fault; what came before it is kept.
  std::optional<TReceived> Receive(const uint8_t* data, size_t length,
                                   std::vector<TMidiEvent>& events);

  const TMidiListDrops& Drops() const { return FDrops; }

 private:
  enum class TSysex : uint8_t { None, Joining, Discarding };

  // False where the list breaks the rules.
  bool ReadList(const uint8_t* at, const uint8_t* end, bool firstHasDelta,
                std::vector<TMidiEvent>& events);
  // Reads one segment from `at` (its first byte F0 or F7) through its closing F0, F7 or F4;
  // nullptr when the list ends first or a status byte breaks it.
  const uint8_t* ReadSysex(const uint8_t* at, const uint8_t* end, uint32_t offset,
                           std::vector<TMidiEvent>& events);
  void JoinSegment(uint8_t first, const uint8_t* data, size_t length, uint8_t last, uint32_t offset,
                   std::vector<TMidiEvent>& events);
  void BreakSysex();

  bool FStarted = false;
  uint16_t FLastSequence = 0;
  TSysex FSysex = TSysex::None;
  std::vector<uint8_t> FJoined;
  TMidiListDrops FDrops;
};
