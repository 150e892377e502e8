#include "app/midiplayer.h"

#include "midi/miditype.h"
#include "protocol/data.h"

void TMidiPlayer::PlayMidiPacket(TData& packet) {
  if (packet.Count() == 0) return;  // sending it would play three zero bytes
  TMyMidiEvent event;
  event.SetSysexData(packet.Bytes(), packet.Count());
  try {
    FPort.SendEvent(event);
  } catch (const EmidioutputError&) {
  }
}
