// The running copy's life: creating its parts, start-up and shut-down, the settings file, the
// monitor and the session's clock.

#include "engine/engine.h"

#include <QTimer>
#include <exception>
#include <functional>

#include "admission/password.h"
#include "engine/midiplayer.h"
#include "engine/pendingconnection.h"
#include "midi/midiin.h"
#include "midi/mmsystem.h"
#include "platform/clientsocket.h"
#include "platform/inifile.h"
#include "platform/serversocket.h"
#include "platform/wrappingclock.h"
#include "protocol/data.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"

namespace {

const char kServiceType[] = "_tessel._tcp";
// Where Macs, iPads and the RTP-MIDI drivers look for network MIDI sessions.
const char kRtpMidiServiceType[] = "_apple-midi._udp";

// A shut-down step whose failure must not keep the later ones from running.
void TeardownStep(const std::function<void()>& step, const std::function<void(std::string)>& report) {
  try {
    step();
  } catch (const std::exception& error) {
    report(error.what());
  }
}

}  // namespace

TEngine::TEngine(std::string settingsFile, TEngineClock* clock)
    : FSettingsFile(std::move(settingsFile)),
      FSystemClock(clock ? nullptr : std::make_unique<TSystemClock>()),
      FClock(clock ? *clock : *FSystemClock) {
  FSession = std::make_unique<TSession>(static_cast<TSessionHost&>(*this));
  CreateTimers();
  CreateMidiComponents();
  CreateLinkSockets();
  FDnsSd = std::make_unique<TDnsSd>(kServiceType);
  FRtpMidi = std::make_unique<TRtpMidiServer>(static_cast<TRtpMidiHost&>(*this));
  FRtpMidiDnsSd = std::make_unique<TDnsSd>(kRtpMidiServiceType);
  FRtpMidiDnsSd->OnLog = [this](const std::string& line) { Log(line); };
  FDnsSd->OnLog = [this](const std::string& line) { Log(line); };
  FDnsSd->OnServersChanged = [this] {
    if (FObserver) FObserver->ServersSeenChanged(FDnsSd->Servers());
  };
  FRtpMidiDnsSd->OnServersChanged = [this] {
    if (FObserver) FObserver->SessionsSeenChanged(FRtpMidiDnsSd->Servers());
  };
}

TEngine::~TEngine() {
  FSession->Close();
  FObserver = nullptr;
  // The worker thread plays on the output, so it stops before the output goes.
  FTimedBuffer.reset();
  FMidiInput.reset();
  FMidiPlayer.reset();
  CloseServer();
  FClientSocket->Close();
  FServerSocket.reset();
  FClientSocket.reset();
  if (FDevicesWatched) mmsystem::WatchMidiDevices(nullptr);
}

void TEngine::CreateTimers() {
  WakeIn(TSession::kIdleIntervalMs);

  FTimerFigures = new QTimer(this);
  FTimerFigures->setObjectName("TimerFigures");
  FTimerFigures->setInterval(kFiguresIntervalMs);
  connect(FTimerFigures, &QTimer::timeout, this, [this] {
    FollowOutputLead();
    ShowBufferFigures();
    ShowLosses();
  });
  FTimerFigures->start();

  FTimerDeviceNews = new QTimer(this);
  FTimerDeviceNews->setObjectName("TimerDeviceNews");
  FTimerDeviceNews->setSingleShot(true);
  FTimerDeviceNews->setInterval(kDeviceNewsSettleMs);
  connect(FTimerDeviceNews, &QTimer::timeout, this, [this] { RefillDeviceLists(); });
}

void TEngine::StartHeadless() {
  FHeadless = true;
  FAdmission = TAdmissionPolicy(false);
  Start();
}

void TEngine::Start() {
  if (FStarted || FStopped) return;
  FStarted = true;
  WatchDevices();
  FSession->StartClock(Now());
  const TSettings fresh;
  SetBufferTime(fresh.BufferTime);
  SetBufferResolution(fresh.BufferResolution);
  FSettings.MidiIn.clear();
  FSettings.MidiOut.clear();
  FSettings.IsServer = false;
  FSession->SetIsServer(false);
  FSession->SetActive(false, Now());
  FSettings.DisableNagle = true;

  LoadSettings();
  if (FHeadless) {
    FSettings.IsServer = true;
    FSession->SetIsServer(true);
  }
  OpenPortsFromSettings();
  if (FSettings.AutoStart || FHeadless) {
    FSession->KeepLink();
    ActivateLink(true);
  }
  // The ports as they opened.
  SettingsShown(TSettingsGroup::Midi);
  if (FObserver) FObserver->LinkStateChanged();
}

void TEngine::Stop() {
  if (FStopped) return;
  FStopped = true;
  FSession->Close();
  const auto report = [this](const std::string& text) { Report(text); };
  SaveSettings();
  FTimedBuffer.reset();
  TeardownStep([this] { SetMidiInOpen(false); }, report);
  TeardownStep([this] { SetMidiOutOpen(false); }, report);
  TeardownStep([this] { CloseServer(); }, report);
  TeardownStep([this] { FClientSocket->Close(); }, report);
  FConnections.clear();
}

void TEngine::LoadSettings() {
  const TSettings read = ReadSettingsFile(FSettingsFile, FSettings);
  SetBufferTime(read.BufferTime);
  SetBufferResolution(read.BufferResolution);
  SetAutoBufferTime(read.AutoBufferTime);
  FSettings.MidiIn = read.MidiIn;
  FSettings.MidiOut = read.MidiOut;
  FSettings.Window = read.Window;
  FSettings.YourName = read.YourName;
  SetMonitoring(read.Monitoring);
  FAdmission.Allowed() = TAllowedPeers(read.AllowedPeers);
  FSettings.AllowedPeers = FAdmission.Allowed().Setting();
  FSettings.PasswordKey = read.PasswordKey;
  FSettings.ServerPasswordKey = read.ServerPasswordKey;
  if (!read.PasswordKey.empty() && !ParseKeySetting(read.PasswordKey))
    Report("The session password in the settings file is damaged; every client is refused "
           "until it is set again.");
  // Password on without a new text keeps the keys just read.
  SetIpValues({read.Port,
               read.IsServer,
               read.ServerName,
               read.AutoStart,
               read.DisableNagle,
               read.WhoMayConnect,
               true,
               {},
               read.RtpMidi});
  for (TSettingsGroup group : {TSettingsGroup::Chat, TSettingsGroup::Ip, TSettingsGroup::Midi})
    SettingsShown(group);
}

void TEngine::SaveSettings() {
  try {
    WriteSettingsFile(FSettingsFile, FSettings);
  } catch (const EIniFileException& error) {
    // The old file is left as it was; the shut-down goes on.
    Report(std::string(error.what()) + ": " + error.Reason());
  }
}

void TEngine::SetMonitoring(bool value) { FSettings.Monitoring = value; }

// ---- Settings groups

void TEngine::ApplyChatSettings(const std::string& yourName) {
  if (yourName == FSettings.YourName) return;
  FSettings.YourName = yourName;
  // The announcement stands under the chat name.
  Announce();
}

void TEngine::ApplyIpSettings(const TIpSettings& ip) {
  const bool wasActive = Active();
  FSession->StopReconnecting();
  ActivateLink(false);
  SetIpValues(ip);
  FSession->KeepLink();
  ActivateLink(wasActive || FSettings.AutoStart);
}

TIpSettings TEngine::IpSettings() const {
  return {
      FSettings.Port,         FSettings.IsServer,      FSettings.ServerName, FSettings.AutoStart,
      FSettings.DisableNagle, FSettings.WhoMayConnect, PasswordSet(),        {},
      FSettings.RtpMidi};
}

void TEngine::SetIpValues(const TIpSettings& ip) {
  FSettings.Port = ip.Port;
  FSettings.ServerName = ip.ServerName;
  FSettings.AutoStart = ip.AutoStart;
  FSettings.DisableNagle = ip.DisableNagle;
  FSettings.RtpMidi = ip.RtpMidi;
  FSession->SetAutoStart(ip.AutoStart);
  if (ip.IsServer != FSettings.IsServer) {
    FSettings.IsServer = ip.IsServer;
    FSession->SetIsServer(ip.IsServer);
    if (FObserver) FObserver->LinkStateChanged();
  }
  SetPasswordValues(ip);
}

void TEngine::Report(const std::string& text) {
  if (FObserver) FObserver->MessageShown(text);
}

void TEngine::SettingsShown(TSettingsGroup group) {
  if (FObserver) FObserver->SettingsChanged(group);
}

// ---- Monitor

void TEngine::Log(const std::string& line) {
  if (Monitoring() && FObserver) FObserver->MonitorLine(line);
}

void TEngine::LogPacket(const char* prefix, const TData& packet) {
  // Nothing would be written, so the dump need not be built either.
  if (!Monitoring() || !FObserver) return;
  std::string dump;
  packet.DumpText(dump);
  Log(prefix + dump);
}

void TEngine::Lamp(TEngineLamp lamp) {
  if (FObserver) FObserver->LampFlashed(lamp);
}

void TEngine::Flash(TLamp lamp) {
  Lamp(lamp == TLamp::Transmit ? TEngineLamp::Transmit : TEngineLamp::Receive);
}

// ---- The session's operations, on the engine's clock

void TEngine::ReceivePacket(TData& packet) {
  if (FStopped) return;
  FSession->ReceivePacket(packet, Now());
}

void TEngine::SendPacket(TData& packet) {
  const uint32_t now = Now();
  FSession->SendOwn(packet, now, now);
}

uint16_t TEngine::TimeSinceLastSend() { return FSession->TimeSinceLastSend(Now()); }

void TEngine::SendTimePacket() { FSession->SendTimePacket(Now()); }

void TEngine::QueueTimePacket(const TData& packet) { FSession->QueueTimePacket(packet); }

void TEngine::QueueMidiPacket(const TData& packet) { FSession->QueueMidiPacket(packet); }

void TEngine::WakeIn(uint32_t ms) {
  FSessionDue = Now() + ms;
  ScheduleWake();
}

void TEngine::ScheduleWake() {
  const uint32_t now = Now();
  uint32_t next = Until(now, FSessionDue);
  if (const auto admission = NextAdmissionWake(now)) next = std::min(next, *admission);
  FClock.WakeIn(next, [this] { Wake(); });
}

void TEngine::Wake() {
  const uint32_t now = Now();
  TickAdmission(now);
  // The session's Tick asks for its next wake-up itself.
  if (Reached(now, FSessionDue))
    FSession->Tick(now);
  else
    ScheduleWake();
}
