#pragma once

// One running copy without widgets: the sockets, the session, the timed buffer and its
// player, the MIDI ports and the device watch, discovery, and the settings with their file.
// Commands go in; what happens comes out to one observer (the window, or the console of a
// copy without one). Implemented by concern:
//   engine.cpp       life: start, stop, the settings file, the monitor, the session's clock
//   link.cpp         the TCP link: socket events into the session, its frames out
//   connections.cpp  the connection list and what was lost on the way
//   chat.cpp         chat texts out and in
//   routing.cpp      MIDI ports, device lists, the input into the session, the timed buffer
//   admission.cpp    who may connect: the policy, the connections that wait, the password
//   participants.cpp RTP-MIDI sessions as connections of the star
//
// Thread: the event loop's. The timed buffer's worker plays on the output port alone.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admission/policy.h"
#include "discovery/dnssd.h"
#include "engine/engineclock.h"
#include "engine/engineobserver.h"
#include "engine/rtpmidiserver.h"
#include "engine/settings.h"
#include "session/sessionhost.h"

class QTimer;
class TClientSocket;
class TCustomWinSocket;
class TData;
class TMidiInput;
class TMidiPlayer;
class TPasswordAnswerer;
struct TPendingConnection;
class TServerSocket;
class TSession;
class TTimedBuffer;

// The IP settings group, as Apply hands it over.
struct TIpSettings {
  int32_t Port = 0;
  bool IsServer = false;
  std::string ServerName;
  bool AutoStart = false;
  bool DisableNagle = true;
  // Who may connect to this copy as a server.
  TWhoMayConnect WhoMayConnect = TWhoMayConnect::Anyone;
  // A session password: as a server, asked of every client; as a client, given to a server
  // that asks. Off removes it; on with a text sets that one; on without keeps the one there.
  bool Password = false;
  std::string NewPassword;
  // As a server: RTP-MIDI sessions may join on the UDP ports beside the TCP port.
  bool RtpMidi = true;
};

// The MIDI settings group. An empty name closes that port.
struct TMidiSettings {
  uint32_t BufferTime = 1000;  // the fixed value; ignored while AutoBufferTime stays on
  bool AutoBufferTime = false;
  uint32_t BufferResolution = 5;
  std::string MidiIn;
  std::string MidiOut;
};

class TEngine : public QObject, private TSessionHost, private TRtpMidiHost {
 public:
  // A chat text must fit one frame; the input box may hold more.
  static constexpr size_t kLongestChatText = 65535;
  // How often the buffer figures and the losses are shown, and the output's lead follows a
  // period the MIDI system changed.
  static constexpr int kFiguresIntervalMs = 1000;
  // jackd tells of a port that went while the ports it lists still hold it, for about 50 ms
  // at 512 frames here. A refill on the news itself would never see the device in use go,
  // and so never see it come back; one refill for a burst of news is enough, too.
  static constexpr int kDeviceNewsSettleMs = 250;

  // settingsFile: where the settings persist. clock: the session's time, the system's when
  // null; it must outlive the engine.
  explicit TEngine(std::string settingsFile, TEngineClock* clock = nullptr);
  ~TEngine() override;

  void SetObserver(TEngineObserver* observer) { FObserver = observer; }

  // ---- Life
  // Fresh values, then the settings file; opens the ports it names and starts the link when
  // Auto start IP is on.
  void Start();
  // The same for a copy without a window: it is the server whatever the file says, listens at
  // once, and every monitor line reaches the observer.
  void StartHeadless();
  // Saves the settings, ends what still sounds, closes the ports and the links. Once only.
  void Stop();
  void LoadSettings();
  // A file that cannot be written is reported and left as it was.
  void SaveSettings();
  const TSettings& Settings() const { return FSettings; }
  void SetWindowBounds(const TWindowBounds& bounds) { FSettings.Window = bounds; }

  // ---- The link
  bool IsServer() const;
  bool Active() const;
  // The user's Connect / Listen / Disconnect (all): a link they start or stop is not retried
  // on their behalf.
  void ToggleLink();
  void ActivateLink(bool on);
  // The server closes these connections; a client closes its link.
  void Disconnect(const std::vector<std::string>& descriptions);
  // A server chosen from the list: aimed at and connected to as a client.
  void ConnectTo(const TAnnouncedServer& server);
  const std::vector<std::string>& Connections() const { return FConnections; }
  // What was lost on the way since the start, by cause.
  std::string Losses() const;
  const std::vector<TAnnouncedServer>& ServersSeen() const { return FDnsSd->Servers(); }
  // RTP-MIDI sessions announced on the network (a Mac's, an iPad's, a daemon's).
  const std::vector<TAnnouncedServer>& SessionsSeen() const { return FRtpMidiDnsSd->Servers(); }
  // The listening server invites that session into the star; the monitor tells how it went.
  // False, with a message, when it cannot invite now.
  bool InviteSession(const TAnnouncedServer& session);

  // ---- Settings groups
  void ApplyChatSettings(const std::string& yourName);
  // Stops the link, takes the values and starts it again if it was up or Auto start IP is on.
  void ApplyIpSettings(const TIpSettings& ip);
  // Takes the values alone; the link stays as it is.
  void SetIpValues(const TIpSettings& ip);
  TIpSettings IpSettings() const;
  // Opens the named ports; a port that fails is reported and the others still apply.
  void ApplyMidiSettings(const TMidiSettings& midi);
  void SetMonitoring(bool value);
  bool Monitoring() const { return FSettings.Monitoring || FHeadless; }

  // ---- Chat
  // Sends the lines as one text under the chat name. False, with a message, when the text
  // would not fit one frame: nothing is shown or sent then.
  bool SendChat(const std::vector<std::string>& lines);
  // A whole chat text as it travels.
  bool SendChatText(const std::string& text);

  // ---- MIDI
  void SetMidiIn(const std::string& name);
  void SetMidiOut(const std::string& name);
  void SetMidiInOpen(bool value);
  void SetMidiOutOpen(bool value);
  bool MidiInOpen() const;
  bool MidiOutOpen() const;
  void SetBufferTime(uint32_t value);
  void SetAutoBufferTime(bool value);
  void SetBufferResolution(uint32_t value);
  TTimedBuffer::TFigures BufferFigures() const;

  // ---- The session's operations
  void ReceivePacket(TData& packet);
  void SendPacket(TData& packet);
  uint16_t TimeSinceLastSend();
  void SendTimePacket();
  void QueueTimePacket(const TData& packet);
  void QueueMidiPacket(const TData& packet);

  // ---- Who may connect
  // The remembered peers (addresses or host names); false when the entry was not taken.
  bool AllowPeer(const std::string& entry);
  bool ForgetAllowedPeer(const std::string& entry);
  const std::vector<std::string>& AllowedPeers() const { return FAdmission.Allowed().Entries(); }
  // The connection the user is asked about now; null while none waits.
  const TArrival* AdmissionQuestion() const { return FAdmission.Question(); }
  void AnswerAdmission(TUserAnswer answer);
  size_t WaitingConnections() const { return FPending.size(); }
  uint64_t RefusedConnections() const { return FRefusedConnections; }

  // ---- Monitor
  void Log(const std::string& line) override;

 private:
  // ---- Life (engine.cpp)
  uint32_t Now() const { return FClock.Now(); }
  void CreateTimers();
  void Report(const std::string& text);
  void SettingsShown(TSettingsGroup group);
  void LogPacket(const char* prefix, const TData& packet) override;

  // ---- Link (link.cpp)
  void CreateLinkSockets();
  void ApplyLinkAddress();
  void SetActive(bool value);
  void CloseServer();
  TPeerId PeerOf(const TCustomWinSocket& socket);
  TCustomWinSocket* SocketOf(TPeerId peer) const;
  void ForgetPeer(const TCustomWinSocket& socket);
  void ClientConnected(TCustomWinSocket& socket);
  void ClientDisconnected(TCustomWinSocket& socket);
  void ClientError(TCustomWinSocket& socket, int& errorCode);
  void ServerListening();
  void ServerAccepted(TCustomWinSocket& socket);
  void ServerClientConnected(TCustomWinSocket& socket);
  void ServerClientDisconnected(TCustomWinSocket& socket);
  void ServerClientError(TCustomWinSocket& socket, int& errorCode);
  void SetNagle(TCustomWinSocket& socket);
  void KeepAlive(TCustomWinSocket& socket);
  void ReceiveBlocks(TCustomWinSocket& socket);
  std::string InstanceName() const;
  void Announce();
  bool Write(TPeerId peer, const uint8_t* frame, int length) override;
  void Close(TPeerId peer) override;
  std::string OpenLink() override;
  std::string Describe(TPeerId peer) const override;
  void Flash(TLamp lamp) override;

  // ---- Connections (connections.cpp)
  static std::string DescribeSocket(const TCustomWinSocket& socket);
  void AddConnection(const std::string& line);
  void RemoveConnection(const std::string& line);
  void ShowLosses();

  // ---- Chat (chat.cpp)
  void ShowChat(const TData& packet) override;

  // ---- Who may connect (admission.cpp)
  // A server's new connection joins, waits, or is refused; false unless it joined now.
  bool Arrive(TCustomWinSocket& socket);
  TPendingConnection* PendingOf(const TCustomWinSocket& socket) const;
  void ReadPending(TPendingConnection& pending);
  void Join(TCustomWinSocket& socket);
  // The connection takes part from now on, and gets what it sent meanwhile.
  void Admit(TPeerId id);
  // Closes it; `chatText`, when given, tells the peer why first.
  void Refuse(TPeerId id, const std::string& why, const char* chatText = nullptr);
  void WaitForUser(TPendingConnection& pending);
  void DropPendingConnections();
  void ShowAdmissionQuestion();
  void TickAdmission(uint32_t now);
  std::optional<uint32_t> NextAdmissionWake(uint32_t now) const;
  void SetPasswordValues(const TIpSettings& ip);
  bool PasswordSet() const;
  // A client's: a challenge from its server.
  void ReceiveOther(TPeerId peer, const TData& packet) override;
  void AnswerChallenge(TPeerId peer, const TData& challenge);
  void NoteChatFromServer(const std::string& text);
  // A client's: the server said why it refused this copy; trying again would not help.
  void NoteRefusal(const std::string& chatText);

  // ---- RTP-MIDI participants (participants.cpp)
  void ListenForParticipants();
  TInvitationAnswer AnswerInvitation(const std::string& address, const std::string& name) override;
  TInvitationAnswer RefuseSession(const std::string& address, const std::string& name,
                                  const std::string& why);
  // The user's answer, or the lack of one, for a session asked about; false when `id` is not
  // one of them.
  bool SettleAskedSession(uint64_t id, std::optional<TRefusal> refusal);
  TPeerId JoinParticipant(const std::string& description) override;
  void DeliverFrames(TPeerId id, const uint8_t* frames, size_t length) override;
  void LeaveParticipant(TPeerId id, const std::string& description) override;

  // ---- Routing (routing.cpp)
  void CreateMidiComponents();
  void WatchDevices();
  void RefillDeviceLists();
  void OpenPortsFromSettings();
  // A port that was open is closed while `select` gives it the device `name` (none when
  // empty), then opened again; `inUse` keeps the name once it took.
  void ReplacePort(std::string& inUse, const std::string& name, bool wasOpen,
                   const std::function<void(bool)>& setOpen, const std::function<void()>& select);
  // Runs `open` for the port of that direction; a failure is reported, not raised.
  void OpenPort(const char* direction, const std::string& name, const std::function<void()>& open);
  void MidiInputReceived();
  void ShowBufferFigures();
  // The timed buffer releases each packet as long before its instant as the open output
  // needs to place it within its cycle, which follows the MIDI system's period.
  void FollowOutputLead();
  void Play(std::unique_ptr<TData> entry) override;
  void PlayEndOfLink() override;
  void WakeIn(uint32_t ms) override;
  // One wake-up of the clock serves the session and the connections that wait.
  void ScheduleWake();
  void Wake();
  void Lamp(TEngineLamp lamp);

  const std::string FSettingsFile;
  std::unique_ptr<TEngineClock> FSystemClock;  // when no clock was given
  TEngineClock& FClock;
  TEngineObserver* FObserver = nullptr;
  TSettings FSettings;

  // Declared before what reports to it, so it outlives them.
  std::unique_ptr<TSession> FSession;
  std::unique_ptr<TTimedBuffer> FTimedBuffer;
  std::unique_ptr<TMidiInput> FMidiInput;
  std::unique_ptr<TMidiPlayer> FMidiPlayer;  // the output port; played from the worker
  std::unique_ptr<TClientSocket> FClientSocket;
  std::unique_ptr<TServerSocket> FServerSocket;
  std::unique_ptr<TDnsSd> FDnsSd;  // announces the listening server, lists the others
  std::unique_ptr<TRtpMidiServer> FRtpMidi;  // the listening server's RTP-MIDI session
  std::unique_ptr<TDnsSd> FRtpMidiDnsSd;     // announces that session under the same name
  std::unique_ptr<uint8_t[]> FReadBlock;  // each read from a socket lands here

  QTimer* FTimerFigures = nullptr;     // figures that other threads count or measure
  QTimer* FTimerDeviceNews = nullptr;  // refills the device lists once the news has settled

  // Connection ids only count up, so an id never names a later socket at the same address.
  struct TLinkedSocket {
    TPeerId Id;
    TCustomWinSocket* Socket;
  };
  std::vector<TLinkedSocket> FLinked;
  TPeerId FNextPeerId = 1;

  // Who may connect, and the server's connections that have not joined yet.
  TAdmissionPolicy FAdmission{true};
  std::vector<std::unique_ptr<TPendingConnection>> FPending;
  // RTP-MIDI sessions the user is asked about, or has answered for: their invitations are
  // answered when they come again.
  struct TAskedSession {
    enum class TState { Waiting, Allowed, Refused };
    uint64_t Id = 0;
    std::string Address;
    std::string Name;
    TState State = TState::Waiting;
    uint32_t Until = 0;  // when an answer no longer holds
  };
  std::vector<TAskedSession> FAskedSessions;
  uint64_t FRefusedConnections = 0;
  uint64_t FShownQuestion = 0;  // the id of the connection the user was last asked about
  // A client's password for this run (never stored), and its answerer on the current link.
  std::string FClientPassword;
  std::unique_ptr<TPasswordAnswerer> FAnswerer;
  uint32_t FSessionDue = 0;  // when the session's Tick is next due

  bool FHeadless = false;  // no window: always the server, and the monitor is its only log
  bool FStarted = false;
  bool FStopped = false;
  uint16_t FListeningPort = 0;
  std::vector<std::string> FConnections;  // sorted without regard to case, no duplicates
  std::string FShownLosses;  // empty until something was lost
  uint64_t FBufferOverflows = 0;  // entries the full timed buffer refused
  TDeviceList FInputs;
  TDeviceList FOutputs;
  bool FDevicesWatched = false;
};
