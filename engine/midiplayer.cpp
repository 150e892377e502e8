#include "engine/midiplayer.h"

#include "protocol/data.h"

std::unique_ptr<TData> TMidiPlayer::EndOfLinkEntry() {
  auto entry = std::make_unique<TData>();
  entry->DataType = dtEndOfLink;
  return entry;
}

void TMidiPlayer::PlayMidiPacket(TData& packet, int64_t playAtUs) {
  if (!IsOpen()) return;
  try {
    if (packet.DataType == dtEndOfLink) {
      FPort.Reset();  // the port knows what sounds: exactly those notes end
    } else if (packet.Count() > 0) {
      // Straight from the packet: the port copies it into a header it keeps for reuse.
      FPort.SendLong(packet.Bytes(), packet.Count(), playAtUs);
    }
  } catch (const EmidioutputError&) {
    FFailedPackets.fetch_add(1, std::memory_order_relaxed);
  }
}
