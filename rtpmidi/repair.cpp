#include "rtpmidi/repair.h"

#include <algorithm>
#include <utility>

namespace {

constexpr uint8_t NoteOff = 0x80;
constexpr uint8_t NoteOn = 0x90;
constexpr uint8_t ControlChange = 0xB0;
constexpr uint8_t ProgramChange = 0xC0;
constexpr uint8_t ChannelPressure = 0xD0;
constexpr uint8_t PitchWheel = 0xE0;

constexpr uint8_t ResetAllControllers = 121;
// The channel mode messages, which Reset All Controllers leaves alone, start here.
constexpr uint8_t FirstModeMessage = 120;
// What a sender without release velocity sends.
constexpr uint8_t ReleaseVelocity = 0x40;

uint8_t Status(uint8_t kind, uint8_t channel) { return static_cast<uint8_t>(kind | channel); }

uint8_t Data(int value) { return static_cast<uint8_t>(value & 0x7F); }

}  // namespace

void TStreamRepair::Heard(const uint8_t* message, size_t length) {
  if (length < 2 || message[0] < 0x80 || message[0] >= 0xF0) return;
  const uint8_t kind = message[0] & 0xF0;
  if (length < (kind == ProgramChange || kind == ChannelPressure ? 2u : 3u)) return;
  TChannel& channel = FChannels[message[0] & 0x0F];
  const uint8_t data1 = Data(message[1]);
  const uint8_t data2 = length > 2 ? Data(message[2]) : 0;
  switch (kind) {
    case NoteOff:
      channel.Notes[data1] = 0;
      break;
    case NoteOn:
      channel.Notes[data1] = data2;
      break;
    case ControlChange:
      // The receiver's defaults after a reset are not known here: the next repair restates
      // whatever the journal holds.
      if (data1 == ResetAllControllers) {
        std::fill(channel.Controllers.begin(), channel.Controllers.begin() + FirstModeMessage,
                  Unknown);
        channel.PitchWheel = Unknown;
      }
      channel.Controllers[data1] = data2;
      if (ControllerEndsNotes(data1)) channel.Notes.fill(0);
      break;
    case ProgramChange:
      channel.Program = data1;
      break;
    case PitchWheel:
      channel.PitchWheel = static_cast<int16_t>(data2 << 7 | data1);
      break;
    default:
      break;
  }
}

void TStreamRepair::Repair(const TJournalContents& journal, TMessages& out) {
  for (const TChannelState& channel : journal.Channels) {
    RepairValues(channel, out);
    RepairNotes(channel, out);
  }
}

void TStreamRepair::RepairValues(const TChannelState& journal, TMessages& out) {
  const uint8_t number = journal.Channel;
  const TChannel& heard = FChannels[number];
  if (journal.Program != Unknown && journal.Program != heard.Program)
    Play({Status(ProgramChange, number), Data(journal.Program)}, out);
  for (uint8_t controller = 0; controller < 128; ++controller) {
    const int16_t value = journal.Controllers[controller];
    if (value != Unknown && value != heard.Controllers[controller])
      Play({Status(ControlChange, number), controller, Data(value)}, out);
  }
  if (journal.PitchWheel != Unknown && journal.PitchWheel != heard.PitchWheel) {
    Play({Status(PitchWheel, number), Data(journal.PitchWheel), Data(journal.PitchWheel >> 7)},
         out);
  }
}

void TStreamRepair::RepairNotes(const TChannelState& journal, TMessages& out) {
  const uint8_t number = journal.Channel;
  const TChannel& heard = FChannels[number];
  for (uint8_t note = 0; note < 128; ++note) {
    const uint8_t sounding = heard.Notes[note];
    const uint8_t velocity = journal.NoteOnVelocity[note];
    const bool released = velocity == 0 && journal.NotesOff[note];
    // Without packet numbers, a strike the receiver missed shows by a velocity other than the
    // one it heard, or by the note's OFFBITS bit beside the log: released, then struck again.
    // The sender still holds a logged note, so playing it late leaves nothing stuck.
    const bool missedStrike = velocity != 0 && (velocity != sounding || journal.NotesOff[note]);
    // The old note ends first, so a synthesizer never stacks two voices on one note-off.
    if (sounding != 0 && (released || missedStrike))
      Play({Status(NoteOff, number), note, ReleaseVelocity}, out);
    if (missedStrike) Play({Status(NoteOn, number), note, velocity}, out);
  }
}

void TStreamRepair::EndAll(TMessages& out) {
  for (uint8_t number = 0; number < FChannels.size(); ++number) {
    for (uint8_t note = 0; note < 128; ++note)
      if (FChannels[number].Notes[note] != 0)
        Play({Status(NoteOff, number), note, ReleaseVelocity}, out);
  }
}

void TStreamRepair::Play(std::vector<uint8_t> message, TMessages& out) {
  Heard(message.data(), message.size());
  out.push_back(std::move(message));
}
