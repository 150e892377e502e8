// MIDI routing: the local ports, the events read from the input, the time stamps of sent
// packets, the idle Time packets and the timed buffer's player.

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "app/frmclientserver.h"
#include "app/midiplayer.h"
#include "midi/midiin.h"
#include "midi/midirules.h"
#include "midi/miditype.h"
#include "platform/messagebox.h"
#include "platform/text.h"
#include "protocol/data.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"

namespace {

constexpr int kTimedBufferCapacity = 1024;
constexpr uint16_t kSysexBufferSize = 4096;
constexpr int kFiguresIntervalMs = 1000;
// jackd tells of a port that went while the ports it lists still hold it, for about 50 ms at
// 512 frames here. A refill on the news itself would never see the device in use go, and so
// never see it come back; one refill for a burst of news is enough, too.
constexpr int kDeviceNewsSettleMs = 250;

// Marks a list's entry kept for the port in use while its device is gone.
constexpr int kGoneRole = Qt::UserRole;

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

int FindName(const QComboBox* list, const std::string& name) {
  for (int i = 0; i < list->count(); ++i)
    if (SameTextIgnoringAsciiCase(list->itemText(i).toStdString(), name)) return i;
  return -1;
}

// Fills `list` with `names`, and with `inUse` marked gone when the system no longer has it;
// what changed for `inUse` since the last fill.
TDeviceNews Refill(QComboBox* list, const std::vector<std::string>& names,
                   const std::string& inUse) {
  const int before = FindName(list, inUse);
  const bool wasGone = before >= 0 && list->itemData(before, kGoneRole).toBool();
  list->clear();
  for (const std::string& name : names) list->addItem(QString::fromStdString(name));
  if (inUse.empty()) return TDeviceNews::None;
  const bool gone = FindName(list, inUse) < 0;
  if (gone) list->addItem(QString::fromStdString(inUse), true);
  if (gone == wasGone) return TDeviceNews::None;
  return gone ? TDeviceNews::WentAway : TDeviceNews::CameBack;
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

void TFormServerMain::CreateMidiComponents() {
  MidiInput = std::make_unique<TMidiInput>();
  MidiInput->SetSysexBufferSize(kSysexBufferSize);
  MidiInput->OnMidiInput = [this](TMidiInput&) { MidiInputMidiInput(); };
  MidiInput->OnOverflow = [this](TMidiInput&) { FlashOverflow(); };

  MidiPlayer = std::make_unique<TMidiPlayer>();

  // OnOverflow and OnUnderflow are raised inside Put, which runs on the GUI thread only
  // (QueueTimePacket, QueueMidiPacket), so the lamps are painted from the right thread.
  TimedBuffer = std::make_unique<TTimedBuffer>(kTimedBufferCapacity);
  TimedBuffer->OnOverflow = [this](TTimedBuffer&) {
    ++FBufferOverflows;
    FlashOverflow();
  };
  TimedBuffer->OnUnderflow = [this](TTimedBuffer&) { FlashUnderflow(); };
  // The worker plays through the player alone; no window code runs on it.
  TimedBuffer->OnData = [player = MidiPlayer.get()](TData& packet) {
    player->PlayMidiPacket(packet);
  };

  // The session's clock: it wakes the session when its next idle Time packet, dead-peer
  // check or reconnect try is due.
  TimerMidi = new QTimer(this);
  TimerMidi->setObjectName("TimerMidi");
  TimerMidi->setSingleShot(true);
  connect(TimerMidi, &QTimer::timeout, this, [this] { Session->Tick(timeGetTime()); });
  TimerMidi->start(TSession::kIdleIntervalMs);

  // Figures that other threads count or measure are shown once a second.
  TimerFigures = new QTimer(this);
  TimerFigures->setObjectName("TimerFigures");
  TimerFigures->setInterval(kFiguresIntervalMs);
  connect(TimerFigures, &QTimer::timeout, this, [this] {
    ShowBufferFigures();
    ShowLosses();
  });
  TimerFigures->start();

  TimerDeviceNews = new QTimer(this);
  TimerDeviceNews->setObjectName("TimerDeviceNews");
  TimerDeviceNews->setSingleShot(true);
  TimerDeviceNews->setInterval(kDeviceNewsSettleMs);
  connect(TimerDeviceNews, &QTimer::timeout, this, [this] { MidiDevicesChanged(); });
}

void TFormServerMain::FillMidiDeviceLists() {
  if (FDeviceListsFilled) return;
  MidiDevicesChanged();
  FDeviceListsFilled = true;
  // The watch's thread only posts; the window may be gone by the time the news arrives.
  mmsystem::WatchMidiDevices([window = QPointer<TFormServerMain>(this)] {
    if (QCoreApplication* application = QCoreApplication::instance()) {
      QMetaObject::invokeMethod(
          application,
          [window] {
            if (window) window->TimerDeviceNews->start();
          },
          Qt::QueuedConnection);
    }
  });
}

void TFormServerMain::MidiDevicesChanged() {
  // A choice not applied yet stays chosen.
  const std::string shownInput = ComboBoxInputs->currentText().toStdString();
  const std::string shownOutput = ComboBoxOutputs->currentText().toStdString();
  const TDeviceNews input = Refill(ComboBoxInputs, InputNames(), FMidiInName);
  const TDeviceNews output = Refill(ComboBoxOutputs, OutputNames(), FMidiOutName);
  SelectByName(ComboBoxInputs, shownInput);
  SelectByName(ComboBoxOutputs, shownOutput);
  // Reopened by name: the device that came back is a new port of the MIDI system.
  if (input == TDeviceNews::WentAway) Log("MIDI in device \"" + FMidiInName + "\" went away");
  if (input == TDeviceNews::CameBack) {
    Log("MIDI in device \"" + FMidiInName + "\" is back");
    SetMidiIn(std::string(FMidiInName));
  }
  if (output == TDeviceNews::WentAway) Log("MIDI out device \"" + FMidiOutName + "\" went away");
  if (output == TDeviceNews::CameBack) {
    Log("MIDI out device \"" + FMidiOutName + "\" is back");
    SetMidiOut(std::string(FMidiOutName));
  }
}

bool TFormServerMain::MidiInOpen() const { return MidiInput->State() == TMidiInput::TState::Open; }

bool TFormServerMain::MidiOutOpen() const { return MidiPlayer->IsOpen(); }

void TFormServerMain::SetMidiIn(const std::string& name) {
  const bool wasOpen = MidiInOpen();
  if (wasOpen) SetMidiInOpen(false);
  if (name.empty()) {
    FMidiInName.clear();
    return;
  }
  try {
    MidiInput->SetProductName(name);
    // The input keeps its device when no input has the name; report it as the output does.
    if (MidiInput->ProductName() != name)
      throw EMidiInputError("MIDI in device \"" + name + "\" is not installed");
    if (wasOpen) SetMidiInOpen(true);
    FMidiInName = name;
  } catch (const EMidiInputError& error) {
    ShowMessage("Could not open midi in port : " + std::string(error.what()));
  }
}

void TFormServerMain::SetMidiOut(const std::string& name) {
  const bool wasOpen = MidiOutOpen();
  if (wasOpen) SetMidiOutOpen(false);
  if (name.empty()) {
    FMidiOutName.clear();
    return;
  }
  try {
    MidiPlayer->Port().SetProductName(name);
    if (wasOpen) SetMidiOutOpen(true);
    FMidiOutName = name;
  } catch (const EmidioutputError& error) {
    ShowMessage("Could not open midi out port : " + std::string(error.what()));
  }
}

// The input reports no failure to open; one that stayed closed raises its platform error here,
// as the output does.
void TFormServerMain::SetMidiInOpen(bool value) {
  if (value == MidiInOpen()) return;
  if (value) {
    MidiInput->Open();
    if (!MidiInOpen()) throw EMidiInputError(TMidiInput::ErrorText(MidiInput->Error()));
    MidiInput->Start();
    return;
  }
  // Close also when Stop failed; the first error still reaches the caller.
  std::exception_ptr stopError;
  try {
    MidiInput->Stop();
  } catch (const EMidiInputError&) {
    stopError = std::current_exception();
  }
  MidiInput->Close();
  if (stopError) std::rethrow_exception(stopError);
}

void TFormServerMain::SetMidiOutOpen(bool value) {
  if (value == MidiOutOpen()) return;
  if (value)
    MidiPlayer->Port().Open();
  else
    MidiPlayer->Port().Close();
}

void TFormServerMain::SetBufferTime(uint32_t value) {
  if (value == FBufferTime) return;
  FBufferTime = value;
  TimedBuffer->SetBufferTime(value);
  ShowBufferFigures();
}

void TFormServerMain::SetAutoBufferTime(bool value) {
  FAutoBufferTime = value;
  TimedBuffer->SetAutoBufferTime(value);
  CheckBoxAutoBufferTime->setChecked(value);
  EditBufferTime->setReadOnly(value);
  if (!value) {
    const QSignalBlocker quiet(EditBufferTime);
    EditBufferTime->setText(QString::number(FBufferTime));
  }
  ShowBufferFigures();
}

void TFormServerMain::ShowBufferFigures() {
  if (!TimedBuffer) return;
  const TTimedBuffer::TFigures figures = TimedBuffer->Figures();
  // A relayed packet may lie as far back on its sender's timeline as the buffers can hold:
  // the fixed buffer time, or more where Auto has grown past it.
  Session->SetMaxLag(std::max(TimedBuffer->BufferTime(), figures.BufferTimeMs));
  LabelBufferFigures->setText(
      QString::asprintf("Jitter %u ms, late %.2f %%", figures.JitterMs, 100.0 * figures.LateShare));
  if (!FAutoBufferTime) return;
  // The value in force, written by the program: not an edit of the group.
  const QSignalBlocker quiet(EditBufferTime);
  EditBufferTime->setText(QString::number(figures.BufferTimeMs));
}

void TFormServerMain::SetBufferResolution(uint32_t value) {
  if (value == FBufferResolution) return;
  FBufferResolution = value;
  TimedBuffer->SetBufferResolution(value);
}

void TFormServerMain::MidiInputMidiInput() {
  const std::unique_ptr<TMyMidiEvent> event = MidiInput->ReadEvent();
  if (!event) return;
  const std::unique_ptr<TData> packet = MidiPacketFor(*event);
  if (!packet) return;
  // Stamped when it was played, not when this thread got to it.
  Session->SendOwn(*packet, event->Instant, timeGetTime());
}

// ---- What the session asks of the timed buffer

void TFormServerMain::Play(std::unique_ptr<TData> entry) { PutIntoTimedBuffer(std::move(entry)); }

void TFormServerMain::PlayEndOfLink() { PutIntoTimedBuffer(TMidiPlayer::EndOfLinkEntry()); }

void TFormServerMain::WakeIn(uint32_t ms) {
  if (TimerMidi) TimerMidi->start(static_cast<int>(ms));
}

void TFormServerMain::PutIntoTimedBuffer(std::unique_ptr<TData> entry) {
  if (!TimedBuffer) return;
  try {
    TimedBuffer->Put(std::move(entry));
  } catch (const EScheduler& error) {
    // The entry is queued and the worker keeps its deadline itself, so it still plays on
    // time; an error box per received packet would only stall the receive path.
    LogFmt("MIDI buffer : %s", error.what());
  }
}
