#include "rtpmidi/journal.h"

#include <algorithm>

#include "rtpmidi/wire.h"

using namespace rtpmidi;

namespace {

// Table of contents bits of a channel journal, in the order the chapters follow it.
constexpr uint8_t ChapterP = 0x80;
constexpr uint8_t ChapterC = 0x40;
constexpr uint8_t ChapterM = 0x20;
constexpr uint8_t ChapterW = 0x10;
constexpr uint8_t ChapterN = 0x08;

void ReadChapterN(TWireReader& in, TChannelState& state) {
  const uint8_t first = in.Get8();
  const uint8_t range = in.Get8();
  const unsigned low = range >> 4;
  const unsigned high = range & 0x0F;
  state.NoteChapterB = (first & 0x80) != 0;
  unsigned logs = first & 0x7F;
  if (logs == 127 && low == 15 && high == 0) logs = 128;
  for (unsigned i = 0; i < logs && in.Ok(); ++i) {
    const uint8_t note = in.Get8() & 0x7F;
    const uint8_t velocity = in.Get8() & 0x7F;
    state.NoteOnVelocity[note] = velocity;
  }
  for (unsigned octet = low; octet <= high && in.Ok(); ++octet) {
    const uint8_t bits = in.Get8();
    // The most significant bit stands for the lowest note of the eight.
    for (unsigned bit = 0; bit < 8; ++bit)
      if (bits & (0x80 >> bit)) state.NotesOff.set(octet * 8 + bit);
  }
}

void ReadChapterC(TWireReader& in, TChannelState& state) {
  const unsigned logs = (in.Get8() & 0x7F) + 1u;
  for (unsigned i = 0; i < logs && in.Ok(); ++i) {
    const uint8_t number = in.Get8() & 0x7F;
    const uint8_t value = in.Get8();
    // A set A flag codes a toggle or count, which says no value.
    if ((value & 0x80) == 0) state.Controllers[number] = value;
  }
}

// Skips a section whose first 16 bits end in a 10-bit length that counts the whole section.
bool SkipByLength(TWireReader& in) {
  const size_t length = in.Get16() & 0x03FF;
  return length >= 2 && in.Skip(length - 2);
}

std::optional<TChannelState> ReadChannel(TWireReader& in) {
  const uint16_t header = in.Get16();
  const uint8_t chapters = in.Get8();
  const size_t length = header & 0x03FF;
  if (!in.Ok() || length < 3 || in.Left() < length - 3) return std::nullopt;
  // The chapters are read within the channel journal alone; what follows N (E, T, A) is
  // passed over with the rest of it.
  TWireReader chapter(in.At(), length - 3);
  in.Skip(length - 3);
  TChannelState state;
  state.Channel = header >> 11 & 0x0F;
  if (chapters & ChapterP) {
    state.Program = chapter.Get8() & 0x7F;
    chapter.Skip(2);  // the bank, which chapter C carries too
  }
  if (chapters & ChapterC) ReadChapterC(chapter, state);
  if ((chapters & ChapterM) && !SkipByLength(chapter)) return std::nullopt;
  if (chapters & ChapterW) {
    const uint8_t first = chapter.Get8() & 0x7F;
    state.PitchWheel = static_cast<int16_t>((chapter.Get8() & 0x7F) << 7 | first);
  }
  if (chapters & ChapterN) ReadChapterN(chapter, state);
  if (!chapter.Ok()) return std::nullopt;
  return state;
}

}  // namespace

std::optional<TJournalContents> ParseJournal(const uint8_t* data, size_t length) {
  TWireReader in(data, length);
  const uint8_t flags = in.Get8();
  TJournalContents contents;
  contents.SinglePacketLoss = (flags & 0x80) != 0;
  contents.Checkpoint = in.Get16();
  if (!in.Ok()) return std::nullopt;
  if ((flags & 0x40) && !SkipByLength(in)) return std::nullopt;  // the system journal
  if (flags & 0x20) {
    for (unsigned i = 0; i <= (flags & 0x0Fu); ++i) {
      std::optional<TChannelState> channel = ReadChannel(in);
      if (!channel) return std::nullopt;
      contents.Channels.push_back(*channel);
    }
  }
  return contents;
}

// ---------------------------------------------------------------------------------------------
// TJournalBuilder

int64_t TJournalBuilder::Unwrap(uint16_t sequence) const {
  return FLatest + static_cast<int16_t>(sequence - static_cast<uint16_t>(FLatest));
}

void TJournalBuilder::Record(uint16_t sequence, const uint8_t* message, size_t length) {
  const int64_t packet = FStarted ? Unwrap(sequence) : sequence;
  if (!FStarted) {
    FStarted = true;
    FCheckpoint = packet;
    FAcknowledged = packet - 1;
  }
  if (packet > FLatest) FLatest = packet;
  if (length < 2 || message[0] < 0x80 || message[0] >= 0xF0) return;
  TChannel& channel = FChannels[message[0] & 0x0F];
  const uint8_t data1 = message[1] & 0x7F;
  const uint8_t data2 = length > 2 ? message[2] & 0x7F : 0;
  switch (message[0] >> 4) {
    case 0x8:
    case 0x9:
      if (length < 3) return;
      channel.Notes[data1] = {packet, static_cast<uint16_t>(message[0] >> 4 == 0x9 ? data2 : 0)};
      break;
    case 0xB:
      if (length < 3) return;
      channel.Controllers[data1] = {packet, data2};
      if (ControllerEndsNotes(data1)) {
        for (TValue& note : channel.Notes)
          if (note.Packet >= 0 && note.Value != 0) note = {packet, 0};
      }
      break;
    case 0xC:
      channel.Program = {packet, data1};
      break;
    case 0xE:
      if (length < 3) return;
      channel.PitchWheel = {packet, static_cast<uint16_t>(data2 << 7 | data1)};
      break;
    default:
      break;
  }
}

void TJournalBuilder::Acknowledge(uint16_t sequence) {
  if (!FStarted) return;
  const int64_t packet = Unwrap(sequence);
  if (packet <= FAcknowledged || packet > FLatest) return;  // old news, or not sent yet
  FAcknowledged = packet;
  FCheckpoint = packet + 1;
}

void TJournalBuilder::Build(std::vector<uint8_t>& out) const {
  std::vector<uint8_t> channels;
  unsigned count = 0;
  for (uint8_t channel = 0; channel < 16; ++channel) {
    const size_t before = channels.size();
    BuildChannel(channel, channels);
    count += channels.size() != before;
  }
  // S clear throughout, here and in every chapter: nothing is marked as needless for a single
  // loss, so a receiver never skips a part it needs.
  Put8(out, static_cast<uint8_t>(count == 0 ? 0 : 0x20 | (count - 1)));
  Put16(out, static_cast<uint16_t>(FCheckpoint));
  out.insert(out.end(), channels.begin(), channels.end());
}

void TJournalBuilder::BuildChannel(uint8_t number, std::vector<uint8_t>& out) const {
  const TChannel& channel = FChannels[number];
  std::vector<uint8_t> chapters;
  uint8_t contents = 0;
  if (Holds(channel.Program)) {
    contents |= ChapterP;
    Put8(chapters, static_cast<uint8_t>(channel.Program.Value));
    Put16(chapters, 0);  // B clear: no bank
  }
  std::vector<uint8_t> logs;
  for (uint8_t controller = 0; controller < 128; ++controller) {
    if (!Holds(channel.Controllers[controller])) continue;
    Put8(logs, controller);
    Put8(logs, static_cast<uint8_t>(channel.Controllers[controller].Value));  // A clear
  }
  if (!logs.empty()) {
    contents |= ChapterC;
    Put8(chapters, static_cast<uint8_t>(logs.size() / 2 - 1));
    chapters.insert(chapters.end(), logs.begin(), logs.end());
  }
  if (Holds(channel.PitchWheel)) {
    contents |= ChapterW;
    Put8(chapters, channel.PitchWheel.Value & 0x7F);
    Put8(chapters, static_cast<uint8_t>(channel.PitchWheel.Value >> 7));
  }
  logs.clear();
  std::bitset<128> off;
  for (uint8_t note = 0; note < 128; ++note) {
    if (!Holds(channel.Notes[note])) continue;
    if (channel.Notes[note].Value == 0) {
      off.set(note);
    } else {
      Put8(logs, note);
      Put8(logs, static_cast<uint8_t>(0x80 | channel.Notes[note].Value));  // Y: play it
    }
  }
  if (!logs.empty() || off.any()) {
    contents |= ChapterN;
    const size_t notes = logs.size() / 2;
    unsigned low = 16;
    unsigned high = 0;
    for (unsigned octet = 0; octet < 16; ++octet) {
      if (((off >> (octet * 8)) & std::bitset<128>(0xFF)).none()) continue;
      low = std::min(low, octet);
      high = octet;
    }
    // No OFFBITS is LOW above HIGH; 15 and 0 with LEN 127 would mean 128 logs instead.
    if (low == 16) low = notes == 127 ? 1 : 15;
    Put8(chapters, static_cast<uint8_t>(notes == 128 ? 127 : notes));
    Put8(chapters, static_cast<uint8_t>(low << 4 | high));
    chapters.insert(chapters.end(), logs.begin(), logs.end());
    for (unsigned octet = low; octet <= high; ++octet) {
      uint8_t bits = 0;
      for (unsigned bit = 0; bit < 8; ++bit)
        if (off[octet * 8 + bit]) bits |= static_cast<uint8_t>(0x80 >> bit);
      Put8(chapters, bits);
    }
  }
  if (contents == 0) return;
  Put16(out, static_cast<uint16_t>(number << 11 | (3 + chapters.size())));
  Put8(out, contents);
  out.insert(out.end(), chapters.begin(), chapters.end());
}
