// The connection list (one line per open connection, known by its description) and what was
// lost on the way.

#include <algorithm>
#include <initializer_list>

#include "engine/engine.h"
#include "engine/midiplayer.h"
#include "midi/midiin.h"
#include "midi/mmsystem.h"
#include "platform/text.h"
#include "platform/winsocket.h"
#include "session/session.h"

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return AsciiLower(x) < AsciiLower(y); });
}

struct TLoss {
  const char* What;
  uint64_t Count;
};

// Tessel's own losses, then the cycles the MIDI system missed: their MIDI was dropped before
// any of Tessel's counts could see it, on every client of that system alike.
std::string LossesText(std::initializer_list<TLoss> losses, uint64_t missedCycles) {
  std::string text;
  for (const TLoss& loss : losses) {
    if (loss.Count == 0) continue;
    text += (text.empty() ? "Lost: " : ", ") + std::to_string(loss.Count) + " " + loss.What;
  }
  if (text.empty()) text = "Nothing lost";
  if (missedCycles > 0) {
    text += "; the MIDI system missed " + std::to_string(missedCycles) +
            (missedCycles == 1 ? " cycle" : " cycles");
  }
  return text;
}

}  // namespace

std::string TEngine::DescribeSocket(const TCustomWinSocket& socket) {
  return socket.RemoteHost() + ", " + socket.RemoteAddress() + " : " +
         std::to_string(socket.RemotePort());
}

void TEngine::AddConnection(const std::string& line) {
  const auto at = std::lower_bound(FConnections.begin(), FConnections.end(), line, LessIgnoringCase);
  if (at == FConnections.end() || !SameTextIgnoringAsciiCase(*at, line))
    FConnections.insert(at, line);
  if (FObserver) FObserver->ConnectionsChanged(FConnections);
}

void TEngine::RemoveConnection(const std::string& line) {
  const auto at = std::lower_bound(FConnections.begin(), FConnections.end(), line, LessIgnoringCase);
  if (at != FConnections.end() && SameTextIgnoringAsciiCase(*at, line)) FConnections.erase(at);
  if (FObserver) FObserver->ConnectionsChanged(FConnections);
}

void TEngine::ShowLosses() {
  const TSessionDrops& drops = FSession->Drops();
  const TRtpMidiLosses rtpMidi = FRtpMidi->Losses();
  const std::string text = LossesText(
      {
          {"MIDI input events the MIDI system had no room for",
           mmsystem::InputEventsLostBySystem()},
          {"MIDI input events the full input had no room for", FMidiInput->LostEvents()},
          {"packets too large to send", drops.FramesTooLarge},
          {"sends a connection refused", drops.SendsRefused},
          {"packets the full MIDI buffer refused", FBufferOverflows},
          {"packets the MIDI output failed on", FMidiPlayer->FailedPackets()},
          {"RTP-MIDI packets lost on the way", rtpMidi.PacketsLost},
          {"RTP-MIDI packets that could not be read", rtpMidi.Unreadable},
          {"RTP-MIDI messages too large to pass on", rtpMidi.TooLarge},
      },
      mmsystem::CyclesMissedBySystem());
  if (text == Losses()) return;
  FShownLosses = text;
  if (FObserver) FObserver->LossesChanged(text);
  Log("** ** ** " + text);
}

std::string TEngine::Losses() const {
  return FShownLosses.empty() ? LossesText({}, 0) : FShownLosses;
}
