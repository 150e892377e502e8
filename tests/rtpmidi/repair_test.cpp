#include "rtpmidi/repair.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rtpmidi/midilist.h"

namespace {

using Bytes = std::vector<uint8_t>;
using TMessages = TStreamRepair::TMessages;

// A sender and a receiver joined by a network that drops the packets it is told to: the sender
// journals what it sent since the start, as no receiver report ever acknowledges it.
class TLossyLink {
 public:
  // Sends one packet of `messages`; a received one passes on its repairs, then its messages.
  TMessages Send(const std::vector<Bytes>& messages, bool lost = false) {
    Bytes packet;
    TRtpHeader header;
    header.Sequence = FSequence;
    EncodeRtpHeader(header, packet);
    for (const Bytes& message : messages) FWriter.Add(0, message.data(), message.size());
    FWriter.Take(packet, true);
    FJournal.Build(packet);
    for (const Bytes& message : messages)
      FJournal.Record(FSequence, message.data(), message.size());
    ++FSequence;
    TMessages played;
    if (lost) return played;
    std::vector<TMidiEvent> events;
    const auto received = FReader.Receive(packet.data(), packet.size(), events);
    EXPECT_TRUE(received);
    if (received && received->LostBefore > 0) {
      const auto journal = ParseJournal(received->Journal, received->JournalLength);
      EXPECT_TRUE(journal);
      if (journal) Repair.Repair(*journal, played);
    }
    for (const TMidiEvent& event : events) {
      Repair.Heard(event.Bytes.data(), event.Bytes.size());
      played.push_back(event.Bytes);
    }
    return played;
  }

  TStreamRepair Repair;

 private:
  uint16_t FSequence = 65534;
  TMidiListWriter FWriter;
  TJournalBuilder FJournal;
  TMidiListReader FReader;
};

TEST(StreamRepair, AfterALossNothingTheSenderReleasedSoundsAndTheLastValuesArrive) {
  TLossyLink link;
  EXPECT_EQ(link.Send({{0x90, 60, 100}, {0x90, 64, 90}, {0x90, 65, 80}, {0xB0, 64, 127}}).size(),
            4u);
  // Lost: 60 ends by a zero velocity, 64 is struck again softer, 67 starts; the sustain pedal
  // goes up, then the volume, program and wheel. 65, released and struck again as loud, sounds
  // on: the journal cannot tell that strike from the one heard, and the sender holds it anyway.
  link.Send({{0x90, 60, 0}, {0x80, 64, 0}, {0x90, 64, 40}, {0x80, 65, 0}}, true);
  link.Send({{0x90, 65, 80},
             {0x90, 67, 70},
             {0xB0, 64, 0},
             {0xB0, 7, 100},
             {0xC0, 5},
             {0xE0, 0x01, 0x50}},
            true);
  const TMessages expected = {{0xC0, 5},          {0xB0, 7, 100},   {0xB0, 64, 0},
                              {0xE0, 0x01, 0x50}, {0x80, 60, 0x40}, {0x80, 64, 0x40},
                              {0x90, 64, 40},     {0x90, 67, 70},   {0x91, 72, 50}};
  EXPECT_EQ(link.Send({{0x91, 72, 50}}), expected);

  // The journal still holds all of it, but the receiver now has what it says.
  link.Send({{0xF8}}, true);
  EXPECT_EQ(link.Send({{0xB0, 1, 20}}), (TMessages{{0xB0, 1, 20}}));

  TMessages ended;
  link.Repair.EndAll(ended);
  EXPECT_EQ(ended,
            (TMessages{{0x80, 64, 0x40}, {0x80, 65, 0x40}, {0x80, 67, 0x40}, {0x81, 72, 0x40}}));
  ended.clear();
  link.Repair.EndAll(ended);
  EXPECT_TRUE(ended.empty());
}

TEST(StreamRepair, NotesEndedAndControllersResetByTheStreamAreRepairedAgain) {
  TLossyLink link;
  link.Send({{0x92, 50, 90}, {0x92, 52, 90}, {0xB2, 64, 127}});
  link.Send({{0xB2, 123, 0}, {0xB2, 121, 0}});  // All Notes Off, Reset All Controllers
  link.Send({{0xB2, 64, 127}, {0x92, 52, 90}}, true);
  const TMessages expected = {{0xB2, 64, 127}, {0x92, 52, 90}, {0x82, 52, 0}};
  EXPECT_EQ(link.Send({{0x82, 52, 0}}), expected);
  TMessages ended;
  link.Repair.EndAll(ended);
  EXPECT_TRUE(ended.empty());

  // A log beside its OFFBITS bit: released and struck again, though as loud as the note heard.
  link.Send({{0x92, 55, 60}});
  TJournalContents journal;
  journal.Channels.resize(1);
  journal.Channels[0].Channel = 2;
  journal.Channels[0].NoteOnVelocity[55] = 60;
  journal.Channels[0].NotesOff.set(55);
  TMessages repaired;
  link.Repair.Repair(journal, repaired);
  EXPECT_EQ(repaired, (TMessages{{0x82, 55, 0x40}, {0x92, 55, 60}}));
}

}  // namespace
