#include "engine/rtpmidiserver.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <random>

#include "platform/text.h"
#include "protocol/data.h"
#include "rtpmidi/journal.h"
#include "rtpmidi/midilist.h"
#include "rtpmidi/repair.h"
#include "rtpmidi/sessionpacket.h"

namespace {

// RTP timestamps of AppleMIDI sessions count the sync's 100 µs ticks.
constexpr uint32_t kRtpUnitsPerMs = 10;
constexpr uint16_t kLongestStampMs = UINT16_MAX;
constexpr uint64_t kFeedbackIntervalTicks = TParticipant::TicksPerSecond;
// Guard packets after the last MIDI: 50 ms, then 200 ms and 800 ms later.
constexpr uint64_t kFirstGuardTicks = TParticipant::TicksPerSecond / 20;
constexpr uint64_t kGuardGrowth = 4;
constexpr uint64_t kLastGuardTicks = TParticipant::TicksPerSecond;

uint32_t RandomNumber() {
  std::random_device device;
  return device();
}

}  // namespace

struct TRtpMidiServer::TMember {
  explicit TMember(TParticipant session) : Session(std::move(session)) {}

  TParticipant Session;
  QHostAddress Address;
  uint16_t ControlPort = 0;
  uint16_t DataPort = 0;
  TPeerId Id = 0;  // 0 until it takes part
  std::string Description;
  bool ToldSynced = false;  // its first completed clock sync is in the monitor

  TMidiListReader Reader;
  TStreamRepair Repair;  // what it made sound here, mended from its journal after a loss
  TMidiListWriter Writer;
  TJournalBuilder Journal;
  uint16_t Sequence = 0;
  // The session's frames to it, back into packets.
  TDecoder Outgoing;

  uint64_t LastFeedback = 0;  // when this side last told it what arrived (RS)
  uint64_t GuardAt = TParticipant::Never;  // when the next guard packet is due
  uint64_t GuardStep = 0;                  // the wait before it

  // Its timeline: the RTP instant of the last message handed on, and the units of it not yet
  // counted in a stamp.
  bool Timed = false;
  uint32_t LastInstant = 0;
  uint32_t Carried = 0;
};

TRtpMidiServer::TRtpMidiServer(TRtpMidiHost& host) : FHost(host), FOwnSsrc(RandomNumber()) {
  FTimer = new QTimer(this);
  FTimer->setSingleShot(true);
  connect(FTimer, &QTimer::timeout, this, [this] { Tick(); });
}

TRtpMidiServer::~TRtpMidiServer() = default;

uint64_t TRtpMidiServer::NowTicks() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

uint16_t TRtpMidiServer::Listen(uint16_t port, const std::string& ownName, std::string& why) {
  Close();
  FOwnName = ownName;
  // With port 0 the system picks the control port; the data port must be free beside it.
  for (int attempt = 0; attempt < (port == 0 ? 20 : 1); ++attempt) {
    auto control = std::make_unique<QUdpSocket>();
    auto data = std::make_unique<QUdpSocket>();
    if (!control->bind(QHostAddress::AnyIPv4, port)) {
      why = control->errorString().toStdString();
      continue;
    }
    const uint16_t bound = control->localPort();
    if (bound == UINT16_MAX || !data->bind(QHostAddress::AnyIPv4, bound + 1)) {
      why = "data port " + std::to_string(bound + 1) + ": " + data->errorString().toStdString();
      continue;
    }
    FControl = std::move(control);
    FData = std::move(data);
    connect(FControl.get(), &QUdpSocket::readyRead, this, [this] { Read(TSocket::Control); });
    connect(FData.get(), &QUdpSocket::readyRead, this, [this] { Read(TSocket::Data); });
    why.clear();
    return bound;
  }
  return 0;
}

void TRtpMidiServer::Close() {
  // Ended one at a time: a departure may write to the others.
  while (!FMembers.empty()) End(*FMembers.front());
  FControl.reset();
  FData.reset();
  FTimer->stop();
}

uint16_t TRtpMidiServer::ControlPort() const { return FControl ? FControl->localPort() : 0; }

bool TRtpMidiServer::Owns(TPeerId id) const {
  return id != 0 && std::any_of(FMembers.begin(), FMembers.end(),
                                [id](const auto& member) { return member->Id == id; });
}

std::string TRtpMidiServer::Describe(TPeerId id) const {
  for (const auto& member : FMembers)
    if (member->Id == id) return member->Description;
  return {};
}

TPeerId TRtpMidiServer::Find(const std::string& description) const {
  for (const auto& member : FMembers)
    if (member->Id != 0 && member->Description == description) return member->Id;
  return 0;
}

void TRtpMidiServer::End(TPeerId id) {
  for (const auto& member : FMembers)
    if (member->Id == id) return End(*member);
}

void TRtpMidiServer::Count(const TMember& member, TRtpMidiLosses& losses) {
  const TMidiListDrops& drops = member.Reader.Drops();
  losses.PacketsLost += drops.Lost;
  losses.Unreadable += drops.NotMidi + drops.MalformedLists;
  losses.TooLarge += drops.OversizeSysex;
}

TRtpMidiLosses TRtpMidiServer::Losses() const {
  TRtpMidiLosses losses = FLossesOfDeparted;
  for (const auto& member : FMembers) Count(*member, losses);
  return losses;
}

std::string TRtpMidiServer::Invite(const std::string& address, uint16_t controlPort) {
  const QHostAddress to(QString::fromStdString(address));
  if (!FControl) return "RTP-MIDI is not listening";
  if (to.protocol() != QAbstractSocket::IPv4Protocol || controlPort == 0 ||
      controlPort == UINT16_MAX)
    return "no IPv4 address and control port";
  for (const auto& member : FMembers)
    if (member->Address.isEqual(to) && member->ControlPort == controlPort)
      return "that session is in the star already";
  if (FMembers.size() >= kMostParticipants)
    return std::to_string(kMostParticipants) + " sessions take part already";
  std::vector<TParticipant::TOutgoing> out;
  FMembers.push_back(std::make_unique<TMember>(
      TParticipant::Inviting(FOwnSsrc, FOwnName, RandomNumber(), NowTicks(), out)));
  TMember& member = *FMembers.back();
  member.Address = to;
  member.ControlPort = controlPort;
  member.DataPort = controlPort + 1;
  Flush(member, out);
  FHost.Log("RTP-MIDI : inviting " + Where(member));
  ScheduleTick();
  return {};
}

void TRtpMidiServer::End(TMember& member) {
  std::vector<TParticipant::TOutgoing> out;
  member.Session.End(out);
  Flush(member, out);
  Settle(member);
}

// ---- Receiving

void TRtpMidiServer::Read(TSocket which) {
  QUdpSocket* socket = which == TSocket::Control ? FControl.get() : FData.get();
  while (socket != nullptr && socket->hasPendingDatagrams()) {
    const QNetworkDatagram datagram = socket->receiveDatagram();
    const QByteArray bytes = datagram.data();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const auto length = static_cast<size_t>(bytes.size());
    const auto port = static_cast<uint16_t>(datagram.senderPort());
    if (LooksLikeSessionPacket(data, length)) {
      if (const std::optional<TSessionPacket> packet = DecodeSessionPacket(data, length))
        ReceiveSession(which, datagram.senderAddress(), port, *packet);
    } else if (which == TSocket::Data) {
      if (TMember* member = SenderOf(datagram.senderAddress(), port))
        ReceiveMidi(*member, data, length);
    }
    // A socket closed by what this datagram caused is gone now.
    socket = which == TSocket::Control ? FControl.get() : FData.get();
  }
}

TRtpMidiServer::TMember* TRtpMidiServer::SenderOf(const QHostAddress& from, uint16_t dataPort) {
  for (const auto& member : FMembers)
    if (member->Id != 0 && member->DataPort == dataPort && member->Address.isEqual(from))
      return member.get();
  return nullptr;
}

void TRtpMidiServer::ReceiveSession(TSocket which, const QHostAddress& from, uint16_t port,
                                    const TSessionPacket& packet) {
  TMember* member = MemberFor(from, packet);
  if (member == nullptr) {
    if (packet.Command != TSessionCommand::Invitation) return;
    // Only a session's first invitation, on the control port, may begin one.
    if (which == TSocket::Data) return Refuse(which, from, port, packet.Token);
    if (FMembers.size() >= kMostParticipants) {
      FHost.Log("RTP-MIDI : invitation from " + packet.Name + ", " + from.toString().toStdString() +
                " refused: " + std::to_string(kMostParticipants) + " sessions take part already");
      return Refuse(which, from, port, packet.Token);
    }
    switch (FHost.AnswerInvitation(from.toString().toStdString(), packet.Name)) {
      case TRtpMidiHost::TInvitationAnswer::Accept:
        break;
      case TRtpMidiHost::TInvitationAnswer::Refuse:
        return Refuse(which, from, port, packet.Token);
      case TRtpMidiHost::TInvitationAnswer::Wait:
        return;
    }
    FMembers.push_back(std::make_unique<TMember>(TParticipant(FOwnSsrc, FOwnName)));
    member = FMembers.back().get();
    member->Address = from;
  }
  if (packet.Command == TSessionCommand::Feedback) {
    member->Journal.Acknowledge(packet.Sequence);
    return;
  }
  // An inviting peer's ports are where its invitations come from.
  if (packet.Command == TSessionCommand::Invitation)
    (which == TSocket::Control ? member->ControlPort : member->DataPort) = port;
  std::vector<TParticipant::TOutgoing> out;
  member->Session.Receive(
      which == TSocket::Control ? TParticipant::TPort::Control : TParticipant::TPort::Data, packet,
      NowTicks(), out);
  Flush(*member, out);
  // Anything it sends keeps its connection from counting as silent.
  if (member->Id != 0) FHost.DeliverFrames(member->Id, nullptr, 0);
  Settle(*member);
}

// A session's packets carry its SSRC; only the answer to our invitation comes before we know it.
TRtpMidiServer::TMember* TRtpMidiServer::MemberFor(const QHostAddress& from,
                                                   const TSessionPacket& packet) {
  for (const auto& member : FMembers) {
    const TParticipant& session = member->Session;
    if (!member->Address.isEqual(from)) continue;
    if (session.State() == TParticipant::TState::InvitingControl
            ? session.Answers(packet)
            : session.PeerSsrc() == packet.Ssrc)
      return member.get();
  }
  return nullptr;
}

void TRtpMidiServer::Refuse(TSocket which, const QHostAddress& to, uint16_t port, uint32_t token) {
  TSessionPacket no;
  no.Command = TSessionCommand::Rejected;
  no.Token = token;
  no.Ssrc = FOwnSsrc;
  const std::vector<uint8_t> bytes = EncodeSessionPacket(no);
  QUdpSocket& socket = which == TSocket::Control ? *FControl : *FData;
  socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<qint64>(bytes.size()), to, port);
}

// Each message becomes one frame, stamped with the time since the previous one on the
// participant's own clock, so the session places it as the participant played it. After a
// loss, what the journal says the lost packets carried goes first, at this packet's instant.
void TRtpMidiServer::ReceiveMidi(TMember& member, const uint8_t* data, size_t length) {
  std::vector<TMidiEvent> events;
  const std::optional<TMidiListReader::TReceived> received =
      member.Reader.Receive(data, length, events);
  if (!received) return;
  std::vector<uint8_t> frames;
  const auto add = [&](uint32_t instant, const std::vector<uint8_t>& message) {
    member.Repair.Heard(message.data(), message.size());
    AppendFrame(member, instant, message, frames);
  };
  if (received->LostBefore > 0 && received->Journal != nullptr) {
    if (const std::optional<TJournalContents> journal =
            ParseJournal(received->Journal, received->JournalLength)) {
      TStreamRepair::TMessages repairs;
      member.Repair.Repair(*journal, repairs);
      for (const std::vector<uint8_t>& message : repairs)
        AppendFrame(member, received->Header.Timestamp, message, frames);
    }
  }
  for (const TMidiEvent& event : events)
    add(received->Header.Timestamp + event.Offset, event.Bytes);
  Acknowledge(member, received->Header.Sequence);
  if (frames.empty()) return;
  FDelivering = member.Id;
  FHost.DeliverFrames(member.Id, frames.data(), frames.size());
  FDelivering = 0;
}

// Tells the sender what arrived, now and then, so its journal stays short.
void TRtpMidiServer::Acknowledge(TMember& member, uint16_t sequence) {
  const uint64_t now = NowTicks();
  if (now - member.LastFeedback < kFeedbackIntervalTicks) return;
  member.LastFeedback = now;
  TSessionPacket feedback;
  feedback.Command = TSessionCommand::Feedback;
  feedback.Ssrc = FOwnSsrc;
  feedback.Sequence = sequence;
  Flush(member, {{TParticipant::TPort::Control, feedback}});
}

void TRtpMidiServer::AppendFrame(TMember& member, uint32_t instant,
                                 const std::vector<uint8_t>& message,
                                 std::vector<uint8_t>& frames) {
  uint32_t stampMs = 0;
  uint32_t carried = 0;
  if (member.Timed) {
    // A message stamped before the previous one plays with it.
    const auto elapsed = static_cast<int32_t>(instant - member.LastInstant);
    const uint64_t units = member.Carried + static_cast<uint64_t>(std::max(elapsed, 0));
    stampMs = static_cast<uint32_t>(std::min<uint64_t>(units / kRtpUnitsPerMs, kLongestStampMs));
    carried = stampMs == kLongestStampMs ? 0 : static_cast<uint32_t>(units % kRtpUnitsPerMs);
  }
  // A sysex too long for one frame is counted and left out; the time it took stays on the
  // timeline of the next message.
  if (message.size() > UINT16_MAX) {
    ++FLossesOfDeparted.TooLarge;
    return;
  }
  TData packet(static_cast<uint16_t>(message.size()), message.data());
  packet.DataType = dtMidi;
  packet.Time = static_cast<uint16_t>(stampMs);
  try {
    packet.Encode();
  } catch (const ERangeError&) {
    ++FLossesOfDeparted.TooLarge;
    return;
  }
  member.Timed = true;
  member.LastInstant = instant;
  member.Carried = carried;
  frames.insert(frames.end(), packet.Bytes(), packet.Bytes() + packet.Count());
}

// ---- Sending

void TRtpMidiServer::Send(TPeerId id, const uint8_t* frame, int length) {
  if (id == FDelivering) return;
  for (const auto& entry : FMembers) {
    TMember& member = *entry;
    if (member.Id != id) continue;
    member.Outgoing.OnPacket = [this, &member](TData& packet) {
      if (packet.DataType == dtMidi && packet.Count() > 0) SendMidi(member, packet);
    };
    member.Outgoing.AddData(static_cast<uint16_t>(length), frame);
    return;
  }
}

void TRtpMidiServer::SendMidi(TMember& member, const TData& packet) {
  const uint8_t* message = packet.Bytes();
  size_t left = packet.Count();
  const uint64_t now = NowTicks();
  // A long sysex leaves in segments, one packet each.
  while (left > 0) {
    const size_t taken = member.Writer.Add(0, message, left);
    const uint16_t sequence = SendList(member, now);
    if (taken == left) member.Journal.Record(sequence, message, left);
    message += taken;
    left -= taken;
  }
  member.GuardStep = kFirstGuardTicks;
  member.GuardAt = now + member.GuardStep;
  ScheduleTick();
}

uint16_t TRtpMidiServer::SendList(TMember& member, uint64_t now) {
  const uint16_t sequence = member.Sequence++;
  std::vector<uint8_t> datagram;
  EncodeRtpHeader(
      {TRtpHeader::MidiPayloadType, false, sequence, static_cast<uint32_t>(now), FOwnSsrc},
      datagram);
  member.Writer.Take(datagram, true);
  // A packet's journal covers the packets before it; its own commands are in its list.
  member.Journal.Build(datagram);
  FData->writeDatagram(reinterpret_cast<const char*>(datagram.data()),
                       static_cast<qint64>(datagram.size()), member.Address, member.DataPort);
  return sequence;
}

// The last packet of a phrase may be lost with nothing after it to carry its journal: empty
// packets follow, further apart each time, until the next MIDI.
void TRtpMidiServer::Guard(TMember& member, uint64_t now) {
  SendList(member, now);
  member.GuardStep *= kGuardGrowth;
  member.GuardAt =
      member.GuardStep > kLastGuardTicks ? TParticipant::Never : now + member.GuardStep;
}

void TRtpMidiServer::Flush(TMember& member, const std::vector<TParticipant::TOutgoing>& out) {
  for (const TParticipant::TOutgoing& outgoing : out) {
    const std::vector<uint8_t> bytes = EncodeSessionPacket(outgoing.Packet);
    const bool control = outgoing.Port == TParticipant::TPort::Control;
    QUdpSocket* socket = control ? FControl.get() : FData.get();
    if (socket == nullptr) continue;
    socket->writeDatagram(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<qint64>(bytes.size()), member.Address,
                          control ? member.ControlPort : member.DataPort);
  }
}

// ---- The participants' lives

std::string TRtpMidiServer::Where(const TMember& member) {
  return member.Address.toString().toStdString() + " : " + std::to_string(member.ControlPort);
}

void TRtpMidiServer::Settle(TMember& member) {
  using TState = TParticipant::TState;
  const TState state = member.Session.State();
  if (member.Id == 0 && (state == TState::Syncing || state == TState::Active)) {
    member.Description = member.Session.PeerName() + " (RTP-MIDI), " + Where(member);
    FHost.Log("RTP-MIDI : " + member.Description + " invited");
    member.Id = FHost.JoinParticipant(member.Description);
  }
  if (state == TState::Active && !member.ToldSynced) {
    member.ToldSynced = true;
    FHost.Log(Format("RTP-MIDI : %s synced, round trip %.1f ms", member.Description.c_str(),
                     static_cast<double>(member.Session.RoundTrip()) / kRtpUnitsPerMs));
  }
  if (state == TState::Ended) {
    Remove(member);
    return;
  }
  ScheduleTick();
}

void TRtpMidiServer::Remove(TMember& member) {
  using TEnd = TParticipant::TEnd;
  const TEnd reason = member.Session.EndReason();
  const bool lost = reason == TEnd::StepTimedOut || reason == TEnd::SyncLost;
  Count(member, FLossesOfDeparted);
  if (member.Id != 0) {
    FHost.Log("RTP-MIDI : " + member.Description + (lost ? " lost" : " ended"));
    const TPeerId id = member.Id;
    const std::string description = member.Description;
    std::erase_if(FMembers, [&member](const auto& entry) { return entry.get() == &member; });
    FHost.LeaveParticipant(id, description);
  } else {
    if (member.Session.Initiator() && reason != TEnd::ByUs)
      FHost.Log("RTP-MIDI : " + Where(member) +
                (reason == TEnd::Rejected ? " declined the invitation"
                                          : " did not answer the invitation"));
    std::erase_if(FMembers, [&member](const auto& entry) { return entry.get() == &member; });
  }
  ScheduleTick();
}

void TRtpMidiServer::Tick() {
  const uint64_t now = NowTicks();
  std::vector<TMember*> due;
  for (const auto& member : FMembers)
    if (NextRun(*member) <= now) due.push_back(member.get());
  for (TMember* member : due) {
    if (member->GuardAt <= now) Guard(*member, now);
    std::vector<TParticipant::TOutgoing> out;
    member->Session.Tick(now, out);
    Flush(*member, out);
    Settle(*member);
  }
  ScheduleTick();
}

uint64_t TRtpMidiServer::NextRun(const TMember& member) {
  return std::min(member.Session.NextRun(), member.GuardAt);
}

void TRtpMidiServer::ScheduleTick() {
  uint64_t next = TParticipant::Never;
  for (const auto& member : FMembers) next = std::min(next, NextRun(*member));
  if (next == TParticipant::Never) {
    FTimer->stop();
    return;
  }
  const uint64_t now = NowTicks();
  const uint64_t waitTicks = next > now ? next - now : 0;
  FTimer->start(static_cast<int>(std::min<uint64_t>(waitTicks / 10 + 1, INT32_MAX)));
}
