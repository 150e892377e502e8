// Input: one byte choosing the decoder, then what a peer would send it. For the MIDI lists,
// datagrams follow one another, each behind a length byte; what they carry also goes through
// a journal builder, whose journal must parse, and a received journal repairs a stream, which
// then ends with no note left sounding. For a participant, each packet comes behind a
// byte whose low bit picks the port and whose other bits give the seconds since the last.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "rtpmidi/journal.h"
#include "rtpmidi/midilist.h"
#include "rtpmidi/participant.h"
#include "rtpmidi/repair.h"
#include "rtpmidi/sessionpacket.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void FuzzSessionPacket(const uint8_t* data, size_t size) {
  const auto packet = DecodeSessionPacket(data, size);
  if (!packet) return;
  Check(LooksLikeSessionPacket(data, size));
  const std::vector<uint8_t> encoded = EncodeSessionPacket(*packet);
  Check(encoded.size() <= size + 1);  // an IN or OK without its name gains the NUL
  Check(DecodeSessionPacket(encoded.data(), encoded.size()) == packet);
}

// Every event is a whole message; written out again and read back, the same bytes come out.
void FuzzMidiLists(const uint8_t* data, size_t size) {
  TMidiListReader reader;
  TJournalBuilder builder;
  TStreamRepair repair;
  TStreamRepair::TMessages repairs;
  std::vector<TMidiEvent> events;
  for (size_t at = 0; at < size;) {
    const size_t length = std::min<size_t>(data[at], size - at - 1);
    const size_t before = events.size();
    const auto received = reader.Receive(data + at + 1, length, events);
    at += 1 + length;
    if (!received) continue;
    if (received->Journal != nullptr) {
      Check(received->Journal + received->JournalLength <= data + at);
      if (const auto journal = ParseJournal(received->Journal, received->JournalLength))
        repair.Repair(*journal, repairs);
    }
    for (size_t i = before; i < events.size(); ++i)
      repair.Heard(events[i].Bytes.data(), events[i].Bytes.size());
    const uint16_t sequence = received->Header.Sequence;
    for (size_t i = before; i < events.size(); ++i)
      builder.Record(sequence, events[i].Bytes.data(), events[i].Bytes.size());
    if (received->Header.Marker) builder.Acknowledge(static_cast<uint16_t>(sequence - 1));
    std::vector<uint8_t> journal;
    builder.Build(journal);
    const auto parsed = ParseJournal(journal.data(), journal.size());
    Check(parsed.has_value());
    for (const TChannelState& channel : parsed->Channels)
      for (size_t note = 0; note < 128; ++note)
        Check(!(channel.NotesOff[note] && channel.NoteOnVelocity[note] != 0));
  }

  repairs.clear();
  repair.EndAll(repairs);
  repairs.clear();
  repair.EndAll(repairs);
  Check(repairs.empty());

  TMidiListWriter writer(size % 200);
  TMidiListReader again;
  std::vector<TMidiEvent> read;
  uint16_t sequence = 0;
  auto take = [&] {
    std::vector<uint8_t> packet;
    TRtpHeader header;
    header.Sequence = sequence++;
    EncodeRtpHeader(header, packet);
    writer.Take(packet, false);
    Check(again.Receive(packet.data(), packet.size(), read).has_value());
  };
  for (const TMidiEvent& event : events) {
    Check(!event.Bytes.empty() && event.Bytes[0] >= 0x80);
    Check(event.Bytes.size() <= TMidiListReader::MaxSysexLength);
    for (size_t at = 0; at < event.Bytes.size();) {
      const size_t taken = writer.Add(1, event.Bytes.data() + at, event.Bytes.size() - at);
      if (taken < event.Bytes.size() - at) take();
      at += taken;
    }
  }
  take();
  Check(writer.Refused() == 0 && read.size() == events.size());
  for (size_t i = 0; i < read.size(); ++i) Check(read[i].Bytes == events[i].Bytes);
}

// Whatever the peer sends and whenever, the participant never asks to run in the past.
void FuzzParticipant(const uint8_t* data, size_t size) {
  TParticipant participant(1, "Tessel");
  std::vector<TParticipant::TOutgoing> out;
  uint64_t now = 0;
  for (size_t at = 0; at + 1 < size;) {
    const auto port = data[at] & 1 ? TParticipant::TPort::Data : TParticipant::TPort::Control;
    now += (data[at] >> 1) * TParticipant::TicksPerSecond;
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    participant.Tick(now, out);
    if (const auto packet = DecodeSessionPacket(data + at + 2, length))
      participant.Receive(port, *packet, now, out);
    Check(participant.NextRun() > now);
    at += 2 + length;
  }
  for (const TParticipant::TOutgoing& sent : out) Check(sent.Packet.Ssrc == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 4) {
    case 0:
      FuzzSessionPacket(data + 1, size - 1);
      break;
    case 1:
      FuzzMidiLists(data + 1, size - 1);
      break;
    case 2:
      ParseJournal(data + 1, size - 1);
      break;
    case 3:
      FuzzParticipant(data + 1, size - 1);
      break;
  }
  return 0;
}
