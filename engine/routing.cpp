// MIDI routing: the local ports and their device lists, the events read from the input, the
// timed buffer and its player.

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "engine/engine.h"
#include "engine/midiplayer.h"
#include "midi/midiin.h"
#include "midi/midirules.h"
#include "midi/miditype.h"
#include "midi/mmsystem.h"
#include "platform/text.h"
#include "protocol/data.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"

namespace {

constexpr int kTimedBufferCapacity = 1024;
constexpr uint16_t kSysexBufferSize = 4096;

enum class TDeviceNews { None, WentAway, CameBack };

std::vector<std::string> InputNames() {
  std::vector<std::string> names;
  for (UINT id = 0; id < midiInGetNumDevs(); ++id) {
    MIDIINCAPSA caps{};
    if (midiInGetDevCapsA(id, &caps, sizeof caps) == MMSYSERR_NOERROR)
      names.push_back(ProductNameText(caps.szPname));
  }
  return names;
}

// The mapper first.
std::vector<std::string> OutputNames() {
  std::vector<std::string> names;
  const auto add = [&names](UINT id) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(id, &caps, sizeof caps) == MMSYSERR_NOERROR)
      names.push_back(ProductNameText(caps.szPname));
  };
  add(MIDI_MAPPER);
  for (UINT id = 0; id < midiOutGetNumDevs(); ++id) add(id);
  return names;
}

bool Lists(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&name](const std::string& listed) { return SameTextIgnoringAsciiCase(listed, name); });
}

// The system's `names`, with `inUse` kept at the end while the system does not have it; what
// changed for `inUse` since `list` was filled.
TDeviceNews Refill(TDeviceList& list, std::vector<std::string> names, const std::string& inUse) {
  const bool wasGone = list.InUseGone;
  list.Names = std::move(names);
  list.InUseGone = !inUse.empty() && !Lists(list.Names, inUse);
  if (list.InUseGone) list.Names.push_back(inUse);
  if (inUse.empty() || list.InUseGone == wasGone) return TDeviceNews::None;
  return list.InUseGone ? TDeviceNews::WentAway : TDeviceNews::CameBack;
}

// The Midi packet carrying one input event; null when the event makes none.
std::unique_ptr<TData> MidiPacketFor(const TMyMidiEvent& event) {
  std::unique_ptr<TData> packet;
  if (event.SysexLength > 0) {
    packet = std::make_unique<TData>(event.SysexLength, event.SysexData.get());
  } else {
    if (!IsForwarded(event.Status)) return nullptr;
    const size_t length = MidiMessageLength(event.Status);
    const uint8_t bytes[3] = {event.Status, event.Data1, event.Data2};
    packet = std::make_unique<TData>(static_cast<uint16_t>(length), bytes);
  }
  packet->DataType = dtMidi;
  return packet;
}

}  // namespace

void TEngine::CreateMidiComponents() {
  FMidiInput = std::make_unique<TMidiInput>();
  FMidiInput->SetSysexBufferSize(kSysexBufferSize);
  FMidiInput->OnMidiInput = [this](TMidiInput&) { MidiInputReceived(); };
  FMidiInput->OnOverflow = [this](TMidiInput&) { Lamp(TEngineLamp::Overflow); };

  FMidiPlayer = std::make_unique<TMidiPlayer>();

  // OnOverflow and OnUnderflow are raised inside Put, which runs on the engine's thread only,
  // so the lamps are told from the right thread.
  FTimedBuffer = std::make_unique<TTimedBuffer>(kTimedBufferCapacity);
  FTimedBuffer->OnOverflow = [this](TTimedBuffer&) {
    ++FBufferOverflows;
    Lamp(TEngineLamp::Overflow);
  };
  FTimedBuffer->OnUnderflow = [this](TTimedBuffer&) { Lamp(TEngineLamp::Underflow); };
  // The worker plays through the player alone; nothing else runs on it.
  // The buffer's clock is the steady clock, as the port's instants are.
  FTimedBuffer->OnData = [player = FMidiPlayer.get()](TData& packet,
                                                      TTimedBuffer::Clock::time_point due) {
    using std::chrono::microseconds;
    player->PlayMidiPacket(
        packet, std::chrono::duration_cast<microseconds>(due.time_since_epoch()).count());
  };
}

void TEngine::WatchDevices() {
  RefillDeviceLists();
  FDevicesWatched = true;
  // The watch's thread only posts; the engine may be gone by the time the news arrives.
  mmsystem::WatchMidiDevices([engine = QPointer<TEngine>(this)] {
    if (QCoreApplication* application = QCoreApplication::instance()) {
      QMetaObject::invokeMethod(
          application,
          [engine] {
            if (engine) engine->FTimerDeviceNews->start();
          },
          Qt::QueuedConnection);
    }
  });
}

void TEngine::RefillDeviceLists() {
  const TDeviceNews input = Refill(FInputs, InputNames(), FSettings.MidiIn);
  const TDeviceNews output = Refill(FOutputs, OutputNames(), FSettings.MidiOut);
  if (FObserver) FObserver->DeviceListsChanged(FInputs, FOutputs);
  // Reopened by name: the device that came back is a new port of the MIDI system.
  if (input == TDeviceNews::WentAway) Log("MIDI in device \"" + FSettings.MidiIn + "\" went away");
  if (input == TDeviceNews::CameBack) {
    Log("MIDI in device \"" + FSettings.MidiIn + "\" is back");
    OpenPort("in", FSettings.MidiIn, [this] { SetMidiIn(std::string(FSettings.MidiIn)); });
  }
  if (output == TDeviceNews::WentAway)
    Log("MIDI out device \"" + FSettings.MidiOut + "\" went away");
  if (output == TDeviceNews::CameBack) {
    Log("MIDI out device \"" + FSettings.MidiOut + "\" is back");
    OpenPort("out", FSettings.MidiOut, [this] { SetMidiOut(std::string(FSettings.MidiOut)); });
  }
}

void TEngine::OpenPortsFromSettings() {
  const std::string input = FSettings.MidiIn;
  const std::string output = FSettings.MidiOut;
  FSettings.MidiIn.clear();
  FSettings.MidiOut.clear();
  ApplyMidiSettings({FSettings.BufferTime, FSettings.AutoBufferTime, FSettings.BufferResolution,
                     input, output});
}

bool TEngine::MidiInOpen() const { return FMidiInput->State() == TMidiInput::TState::Open; }

bool TEngine::MidiOutOpen() const { return FMidiPlayer->IsOpen(); }

void TEngine::SetMidiIn(const std::string& name) {
  ReplacePort(FSettings.MidiIn, name, MidiInOpen(), [this](bool open) { SetMidiInOpen(open); },
              [this, &name] {
                FMidiInput->SetProductName(name);
                // The input keeps its device when no input has the name; report it as the
                // output does.
                if (FMidiInput->ProductName() != name)
                  throw EMidiInputError("MIDI in device \"" + name + "\" is not installed");
              });
}

void TEngine::SetMidiOut(const std::string& name) {
  ReplacePort(FSettings.MidiOut, name, MidiOutOpen(), [this](bool open) { SetMidiOutOpen(open); },
              [this, &name] { FMidiPlayer->Port().SetProductName(name); });
}

void TEngine::ReplacePort(std::string& inUse, const std::string& name, bool wasOpen,
                          const std::function<void(bool)>& setOpen,
                          const std::function<void()>& select) {
  if (wasOpen) setOpen(false);
  if (name.empty()) {
    inUse.clear();
    return;
  }
  select();
  inUse = name;
  if (wasOpen) setOpen(true);
}

// The input reports no failure to open; one that stayed closed raises its platform error here,
// as the output does.
void TEngine::SetMidiInOpen(bool value) {
  if (value == MidiInOpen()) return;
  if (value) {
    FMidiInput->Open();
    if (!MidiInOpen()) throw EMidiInputError(TMidiInput::ErrorText(FMidiInput->Error()));
    FMidiInput->Start();
    return;
  }
  // Close also when Stop failed; the first error still reaches the caller.
  std::exception_ptr stopError;
  try {
    FMidiInput->Stop();
  } catch (const EMidiInputError&) {
    stopError = std::current_exception();
  }
  FMidiInput->Close();
  if (stopError) std::rethrow_exception(stopError);
}

void TEngine::SetMidiOutOpen(bool value) {
  if (value == MidiOutOpen()) return;
  if (value) {
    FMidiPlayer->Port().Open();
    FollowOutputLead();
  } else {
    FMidiPlayer->Port().Close();
  }
}

// The MIDI system places what comes early enough at its instant within a cycle; a period
// changed under a running output (PipeWire's quantum, jack_bufsize) is read again here.
void TEngine::FollowOutputLead() {
  if (MidiOutOpen())
    FTimedBuffer->SetReleaseLead(std::chrono::microseconds(mmsystem::MidiOutLeadUs()));
}

void TEngine::ApplyMidiSettings(const TMidiSettings& midi) {
  // While Auto is on the buffer time in force is measured, not the fixed one.
  if (!FSettings.AutoBufferTime) SetBufferTime(midi.BufferTime);
  SetBufferResolution(midi.BufferResolution);
  SetAutoBufferTime(midi.AutoBufferTime);
  // Each port on its own: one that fails is reported and the other still applies.
  OpenPort("in", midi.MidiIn, [this, &midi] {
    SetMidiIn(midi.MidiIn);
    SetMidiInOpen(!FSettings.MidiIn.empty());
  });
  OpenPort("out", midi.MidiOut, [this, &midi] {
    SetMidiOut(midi.MidiOut);
    SetMidiOutOpen(!FSettings.MidiOut.empty());
  });
}

void TEngine::OpenPort(const char* direction, const std::string& name,
                       const std::function<void()>& open) {
  try {
    open();
  } catch (const std::exception& error) {
    Report(Format("Could not open midi %s port (%s) : %s", direction, name.c_str(), error.what()));
  }
}

void TEngine::SetBufferTime(uint32_t value) {
  FSettings.BufferTime = value;
  FTimedBuffer->SetBufferTime(value);
}

void TEngine::SetAutoBufferTime(bool value) {
  FSettings.AutoBufferTime = value;
  FTimedBuffer->SetAutoBufferTime(value);
}

void TEngine::SetBufferResolution(uint32_t value) {
  FSettings.BufferResolution = value;
  FTimedBuffer->SetBufferResolution(value);
}

TTimedBuffer::TFigures TEngine::BufferFigures() const { return FTimedBuffer->Figures(); }

void TEngine::ShowBufferFigures() {
  if (!FTimedBuffer) return;
  const TTimedBuffer::TFigures figures = FTimedBuffer->Figures();
  // A relayed packet may lie as far back on its sender's timeline as the buffers can hold:
  // the fixed buffer time, or more where Auto has grown past it.
  FSession->SetMaxLag(std::max(FTimedBuffer->BufferTime(), figures.BufferTimeMs));
  if (FObserver) FObserver->BufferFiguresChanged(figures);
}

void TEngine::MidiInputReceived() {
  const std::unique_ptr<TMyMidiEvent> event = FMidiInput->ReadEvent();
  if (!event) return;
  const std::unique_ptr<TData> packet = MidiPacketFor(*event);
  if (!packet) return;
  // Stamped when it was played, not when this thread got to it.
  FSession->SendOwn(*packet, event->Instant, Now());
}

// ---- What the session asks of the timed buffer

void TEngine::Play(std::unique_ptr<TData> entry) {
  if (!FTimedBuffer) return;
  try {
    FTimedBuffer->Put(std::move(entry));
  } catch (const EScheduler& error) {
    // The entry is queued and the worker keeps its deadline itself, so it still plays on
    // time; a message per received packet would only stall the receive path.
    Log(std::string("MIDI buffer : ") + error.what());
  }
}

void TEngine::PlayEndOfLink() { Play(TMidiPlayer::EndOfLinkEntry()); }
