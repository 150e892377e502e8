#include "app/midiplayer.h"

#include "midi/miditype.h"
#include "protocol/data.h"

namespace {

class TEndOfLinkEntry final : public TData {};

}  // namespace

std::unique_ptr<TData> TMidiPlayer::EndOfLinkEntry() {
  auto entry = std::make_unique<TEndOfLinkEntry>();
  entry->DataType = dtMidi;
  return entry;
}

void TMidiPlayer::PlayMidiPacket(TData& packet) {
  try {
    if (packet.Count() > 0) {
      TMyMidiEvent event;
      event.SetSysexData(packet.Bytes(), packet.Count());
      FPort.SendEvent(event);
    } else if (dynamic_cast<TEndOfLinkEntry*>(&packet) != nullptr) {
      FPort.Reset();  // the port knows what sounds: exactly those notes end
    }
  } catch (const EmidioutputError&) {
  }
}
