#include "rtpmidi/sessionpacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::optional<TSessionPacket> Decode(const Bytes& bytes) {
  return DecodeSessionPacket(bytes.data(), bytes.size());
}

// Laid out field by field from Apple's "MIDI Network Driver Protocol".
const Bytes Invitation = {0xFF, 0xFF, 'I',  'N',  0x00, 0x00, 0x00, 0x02, 0x12, 0x34, 0x56,
                          0x78, 0xCA, 0xFE, 0xBA, 0xBE, 'S',  't',  'a',  'g',  'e',  0x00};
const Bytes Sync = {0xFF, 0xFF, 'C',  'K',  0xCA, 0xFE, 0xBA, 0xBE, 0x01, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x39, 0x00, 0x00, 0x00, 0x01,
                    0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes Feedback = {0xFF, 0xFF, 'R', 'S', 0xCA, 0xFE, 0xBA, 0xBE, 0x01, 0x02, 0x00, 0x00};

TEST(SessionPacket, EncodesAndDecodesEachCommandAsLaidOut) {
  TSessionPacket invitation;
  invitation.Token = 0x12345678;
  invitation.Ssrc = 0xCAFEBABE;
  invitation.Name = "Stage";
  EXPECT_EQ(EncodeSessionPacket(invitation), Invitation);
  EXPECT_EQ(Decode(Invitation), invitation);

  TSessionPacket sync;
  sync.Command = TSessionCommand::Sync;
  sync.Ssrc = 0xCAFEBABE;
  sync.Count = 1;
  sync.Timestamps = {12345, 0x100000002, 0};
  EXPECT_EQ(EncodeSessionPacket(sync), Sync);
  EXPECT_EQ(Decode(Sync), sync);

  TSessionPacket feedback;
  feedback.Command = TSessionCommand::Feedback;
  feedback.Ssrc = 0xCAFEBABE;
  feedback.Sequence = 0x0102;
  EXPECT_EQ(EncodeSessionPacket(feedback), Feedback);
  EXPECT_EQ(Decode(Feedback), feedback);

  // OK carries a name even when it is empty; BY carries none unless it has one.
  for (const auto& [command, length] :
       {std::pair{TSessionCommand::Accepted, 17u}, std::pair{TSessionCommand::End, 16u}}) {
    TSessionPacket packet = invitation;
    packet.Command = command;
    packet.Name.clear();
    EXPECT_EQ(EncodeSessionPacket(packet).size(), length);
    EXPECT_EQ(Decode(EncodeSessionPacket(packet)), packet);
  }
}

TEST(SessionPacket, RefusesWhatIsNotAWholeSessionPacket) {
  // Every cut of a valid packet short of its fields, or inside the name before its NUL.
  for (const Bytes& whole : {Invitation, Sync, Feedback}) {
    for (size_t length = 0; length < whole.size(); ++length) {
      if (whole == Invitation && length == 16) continue;  // a name may be left out
      EXPECT_FALSE(DecodeSessionPacket(whole.data(), length)) << length;
    }
  }
  Bytes unknown = Feedback;
  unknown[2] = 'Z';
  EXPECT_FALSE(Decode(unknown));
  Bytes rtp = Feedback;
  rtp[0] = 0x80;
  EXPECT_FALSE(Decode(rtp));
  EXPECT_FALSE(LooksLikeSessionPacket(rtp.data(), rtp.size()));
  Bytes fourthStep = Sync;
  fourthStep[8] = 3;
  EXPECT_FALSE(Decode(fourthStep));

  // Bytes after the fields, and after the name's NUL, are passed over.
  Bytes longer = Invitation;
  longer.insert(longer.end(), {'x', 'y'});
  EXPECT_EQ(Decode(longer)->Name, "Stage");
}

}  // namespace
