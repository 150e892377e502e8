#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The recovery journal of RFC 6295 (section 5 and appendix A), for the chapters a receiver
// needs to repair a loss: N (notes), C (controllers), P (program) and W (pitch wheel).

// What a journal says about one channel.
struct TChannelState {
  static constexpr int16_t Unknown = -1;

  uint8_t Channel = 0;
  // Chapter N: note logs (a velocity above 0: the note is on) and the OFFBITS (the note is off);
  // B is the chapter's B flag as sent.
  std::array<uint8_t, 128> NoteOnVelocity{};
  std::bitset<128> NotesOff;
  bool NoteChapterB = false;
  // Chapter C, value tool only; Unknown where the journal holds no value.
  std::array<int16_t, 128> Controllers;
  int16_t Program = Unknown;     // chapter P
  int16_t PitchWheel = Unknown;  // chapter W, 14 bits

  TChannelState() { Controllers.fill(Unknown); }
  bool operator==(const TChannelState&) const = default;
};

// Controllers 120 and 123..127 end every note on the channel.
inline bool ControllerEndsNotes(uint8_t controller) {
  return controller == 120 || controller >= 123;
}

struct TJournalContents {
  bool SinglePacketLoss = false;
  uint16_t Checkpoint = 0;
  // In the order the journal lists them.
  std::vector<TChannelState> Channels;
};

// Walks the journal header, the system journal and each channel journal, passing over every
// chapter it does not read by its length. Nothing when a length reaches past the end or below
// its own header.
std::optional<TJournalContents> ParseJournal(const uint8_t* data, size_t length);

// The sender's side: the state of chapters N, C, P and W that changed since the checkpoint,
// the oldest packet the receiver may not hold. Sequence numbers are RTP's, wrapping at 2^16.
class TJournalBuilder {
 public:
  // Notes `message`, a whole MIDI message sent in packet `sequence`; other messages than
  // note, controller, program and pitch wheel change nothing.
  void Record(uint16_t sequence, const uint8_t* message, size_t length);
  // The receiver holds every packet up to `sequence` (its RS): what they carried leaves the
  // journal and the checkpoint moves past them.
  void Acknowledge(uint16_t sequence);
  // Appends the journal for the next packet: a header alone when nothing needs protecting.
  void Build(std::vector<uint8_t>& out) const;

 private:
  struct TValue {
    int64_t Packet = -1;  // on the unwrapped sequence; -1: nothing since the checkpoint
    uint16_t Value = 0;
  };
  struct TChannel {
    std::array<TValue, 128> Notes;  // the velocity; 0 for off
    std::array<TValue, 128> Controllers;
    TValue Program;
    TValue PitchWheel;
  };
  int64_t Unwrap(uint16_t sequence) const;
  bool Holds(const TValue& value) const { return value.Packet > FAcknowledged; }
  void BuildChannel(uint8_t channel, std::vector<uint8_t>& out) const;

  bool FStarted = false;
  int64_t FLatest = 0;  // the latest sequence number seen, unwrapped
  int64_t FAcknowledged = -1;
  int64_t FCheckpoint = 0;
  std::array<TChannel, 16> FChannels;
};
