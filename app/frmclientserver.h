#pragma once

// The main window: widgets, sockets and dialogs around the session (session/), which holds
// the link's rules. One class, implemented by concern:
//   frmclientserver.cpp  what every concern uses: the link state, caption, lamps, and the
//                        window's operations kept as short calls into the session
//   lifecycle.cpp        creating the form, start-up and shut-down, events, keys, menu
//   monitor.cpp          the data monitor and the scroll glue of both terminal views
//   link.cpp             socket wiring: socket events into the session, its frames out
//   connections.cpp      the connection list and what was dropped
//   chat.cpp             the chat
//   routing.cpp          MIDI ports, the input into the session, the timed buffer
//   settings.cpp         the settings, their file and the Apply/Undo groups

#include <QMainWindow>
#include <QStringList>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "session/sessionhost.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTabWidget;
class QTimer;
class QWidget;
class TClientSocket;
class TCustomVTerm;
class TCustomWinSocket;
class TData;
class TDecoder;
class TFormAbout;
class TMidiInput;
class TMidiPlayer;
class TServerFinder;
class TServerSocket;
class TSession;
class TTimedBuffer;
class TVTerm;
class TFormServerMain : public QMainWindow, private TSessionHost {
 public:
  // settingsFile: where the settings persist; the program uses IniFileName(), tests their own.
  explicit TFormServerMain(std::string settingsFile, QWidget* parent = nullptr);
  ~TFormServerMain() override;

  // The window's own virtual operations, in slot order.
  void ReceivePacket(TData& packet) override;
  virtual void SaveSettings();
  virtual void LoadSettings();
  virtual void SendPacket(TData* packet);

  void SetAboutBox(TFormAbout* aboutBox) { FormAbout = aboutBox; }

  // ---- Lifecycle (lifecycle.cpp)
  void FormShow();
  void FormClose();
  // Returns true when the key was taken (Alt+X, Enter in the chat input box).
  bool FormKeyDown(int key, Qt::KeyboardModifiers shift);
  void FormResize();
  void UpdateCaption();
  void FlashTx();
  void FlashRx();
  void FlashOverflow();
  void FlashUnderflow();
  void MenuItemExitClick();
  void MenuItemAboutClick();

  // ---- Data monitor (monitor.cpp)
  void Log(const std::string& msg) override;
  void LogFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Writes `prefix` and the packet's dump; the dump is built only while monitoring.
  void LogPacket(const char* prefix, const TData& packet) override;
  void SetMonitoring(bool value);

  // ---- Peer link (link.cpp)
  void ActivateLink(bool on);
  void ApplyLinkAddress();
  void SetActive(bool value);

  // ---- Connection list (connections.cpp)
  std::string DescribeSocket(const TCustomWinSocket& socket) const;
  void AddConnection(const TCustomWinSocket& socket);
  void RemoveConnection(const TCustomWinSocket& socket);
  void ShowConnections();
  void BeginUpdate();
  void EndUpdate();
  void DisconnectClient(const std::string& description);

  // ---- Chat (chat.cpp)
  void SendChatInput();
  void SendChat(const std::string& text);
  void SendChatFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void ShowChat(const TData& packet) override;

  // ---- MIDI routing (routing.cpp)
  void FillMidiDeviceLists();
  // GUI thread, posted by the MIDI system's watch: the lists follow its ports, and the ports
  // in use connect again when their device comes back.
  void MidiDevicesChanged();
  void SetMidiIn(const std::string& name);
  void SetMidiOut(const std::string& name);
  void SetMidiInOpen(bool value);
  void SetMidiOutOpen(bool value);
  void SetBufferTime(uint32_t value);
  // The buffer time sizes itself to the measured jitter; BufferTime() stays the fixed value.
  void SetAutoBufferTime(bool value);
  void SetBufferResolution(uint32_t value);
  uint16_t TimeSinceLastSend();
  void SendTimePacket();
  void QueueTimePacket(const TData& packet);
  void QueueMidiPacket(const TData& packet);

  // ---- Settings (settings.cpp)
  void SetPort(int32_t value);
  void SetIsServer(bool value);
  void SetServerName(const std::string& value);
  void SetYourName(const std::string& value);
  void SetAutoStart(bool value);
  void SetDisableNagle(bool value);
  void ApplyChatSettings();
  void UndoChatSettings();
  void ApplyIpSettings();
  void UndoIpSettings();
  void ApplyMidiSettings();
  void UndoMidiSettings();
  void SetChatSettingsChanged(bool value);
  void SetIpSettingsChanged(bool value);
  void SetMidiSettingsChanged(bool value);

  // Read-only views of the state, for the status of the program and its tests.
  bool IsServer() const;
  bool Active() const;
  int32_t Port() const { return FPort; }
  const std::string& ServerName() const { return FServerName; }
  const std::string& YourName() const { return FYourName; }
  bool DisableNagle() const { return FDisableNagle; }
  bool AutoStart() const { return FAutoStart; }
  bool Monitoring() const { return FMonitoring; }
  uint32_t BufferTime() const { return FBufferTime; }
  bool AutoBufferTime() const { return FAutoBufferTime; }
  uint32_t BufferResolution() const { return FBufferResolution; }
  const std::string& MidiInName() const { return FMidiInName; }
  const std::string& MidiOutName() const { return FMidiOutName; }
  // Asked of the ports themselves, so the window never disagrees with them.
  bool MidiInOpen() const;
  bool MidiOutOpen() const;
  const QStringList& ConnectionList() const { return FConnectionList; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // ---- The form (lifecycle.cpp, frmclientserver.cpp, and the page builders of each concern)
  void FormCreate();
  void BuildMenu();
  QWidget* BuildStatusStrip();
  // One status lamp with its 111 ms timer, already running.
  QLabel* NewLamp(const char* name, const char* caption, const char* hint, QTimer*& timer);
  // A bar along the top of a page holding the tools from the left.
  static QFrame* NewToolBar(QWidget* page, const char* name, std::initializer_list<QWidget*> tools);
  void BuildConnectionsPage();  // connections.cpp
  void BuildChatPage();         // chat.cpp
  void BuildSettingsPage();     // settings.cpp
  void BuildMonitorPage();      // monitor.cpp
  void CreateLinkSockets();     // link.cpp
  void CreateMidiComponents();  // routing.cpp

  // ---- Lifecycle
  void Flash(QLabel* lamp, QTimer* timer);
  void PutOut(QLabel* lamp, QTimer* timer);

  // ---- Monitor and terminal scroll glue
  void TerminalCursorMoved(TCustomVTerm* term, QScrollArea* box, int col, int row);
  void TerminalDimChanged(TCustomVTerm* term, QScrollArea* box);
  static void FollowWidth(TCustomVTerm* term, QScrollArea* box);
  // Font, size and modes both terminal views share; puts the view into the box and routes
  // its cursor and size events to the glue above.
  void SetUpTerminal(TVTerm* term, QScrollArea* box);

  // ---- Link: socket event handlers
  void ClientSocketLookup(TCustomWinSocket& socket);
  void ClientSocketConnecting(TCustomWinSocket& socket);
  void ClientSocketConnect(TCustomWinSocket& socket);
  void ClientSocketRead(TCustomWinSocket& socket);
  void ClientSocketDisconnect(TCustomWinSocket& socket);
  void ClientSocketError(TCustomWinSocket& socket, int& errorCode);
  void ServerSocketListen(TCustomWinSocket& socket);
  void ServerSocketAccept(TCustomWinSocket& socket);
  void ServerSocketClientConnect(TCustomWinSocket& socket);
  void ServerSocketClientRead(TCustomWinSocket& socket);
  void ServerSocketClientDisconnect(TCustomWinSocket& socket);
  void ServerSocketClientError(TCustomWinSocket& socket, int& errorCode);
  void SetNagle(TCustomWinSocket& socket);
  void KeepAlive(TCustomWinSocket& socket);
  void ReceiveBlocks(TCustomWinSocket& socket);
  // Closes the server and every client connection, and tells the session they are gone:
  // closing the server raises no disconnect events for them.
  void CloseServer();
  void SpeedButtonDisconnectClick();

  // ---- What the session asks of the window (link.cpp, routing.cpp, lifecycle.cpp)
  bool Write(TPeerId peer, const uint8_t* frame, int length) override;
  void Close(TPeerId peer) override;
  std::string OpenLink() override;
  std::string Describe(TPeerId peer) const override;
  void Play(std::unique_ptr<TData> entry) override;
  void PlayEndOfLink() override;
  void Flash(TLamp lamp) override;
  void WakeIn(uint32_t ms) override;

  // ---- MIDI routing
  void MidiInputMidiInput();
  // The measured jitter and late share, and with Auto on the buffer time in force.
  void ShowBufferFigures();

  // ---- Connection list: what was lost on the way, by cause, and a monitor line as it grows
  void ShowLosses();
  // Put that reports a refused hold timer to the monitor instead of raising it.
  void PutIntoTimedBuffer(std::unique_ptr<TData> entry);

  // ---- Settings
  uint32_t ReadCardinalEdit(QLineEdit* edit);
  // ReadCardinalEdit limited to what the settings file can store (0 .. 2147483647).
  uint32_t ReadBufferEdit(QLineEdit* edit);
  void SelectByName(QComboBox* list, const std::string& name);

 public:
  // ---- Controls, under the names the tests find them by (findChild).
  QAction* MenuItemConnect = nullptr;
  QAction* MenuItemExit = nullptr;
  QAction* MenuItemAbout = nullptr;
  QTabWidget* PageControlMain = nullptr;
  QWidget* TabSheetConnections = nullptr;
  QWidget* TabSheetChat = nullptr;
  QWidget* TabSheetSettings = nullptr;
  QWidget* TabSheetMonitor = nullptr;
  QLabel* PanelTx = nullptr;
  QLabel* PanelRx = nullptr;
  QLabel* PanelOf = nullptr;
  QLabel* PanelUf = nullptr;
  QTimer* TimerTx = nullptr;
  QTimer* TimerRx = nullptr;
  QTimer* TimerOf = nullptr;
  QTimer* TimerUf = nullptr;
  QTimer* TimerMidi = nullptr;  // wakes the session when it has something due
  QTimer* TimerFigures = nullptr;
  QTimer* TimerDeviceNews = nullptr;  // refills the device lists once the news has settled

  QListWidget* ListBoxConnections = nullptr;
  QLabel* LabelLosses = nullptr;
  QPushButton* SpeedButtonConnect = nullptr;
  QPushButton* SpeedButtonDisconnect = nullptr;

  QPushButton* SpeedButtonSendChat = nullptr;
  QPushButton* SpeedButtonClearUpperChat = nullptr;
  QPushButton* SpeedButtonClearLowerChat = nullptr;
  QPlainTextEdit* MemoChatSend = nullptr;
  QSplitter* SplitterChat = nullptr;
  QScrollArea* ScrollBoxChat = nullptr;
  TVTerm* VTermChat = nullptr;

  QLineEdit* EditYourName = nullptr;
  QPushButton* BitBtnApplyChat = nullptr;
  QPushButton* BitBtnCancelChat = nullptr;
  QLineEdit* EditIpPort = nullptr;
  QLabel* LabelServerName = nullptr;
  QLineEdit* EditServerName = nullptr;
  QCheckBox* CheckBoxAutoStart = nullptr;
  QCheckBox* CheckBoxIsServer = nullptr;
  QCheckBox* CheckBoxDisableNagle = nullptr;
  QPushButton* BitBtnApplyIp = nullptr;
  QPushButton* BitBtnCancelIp = nullptr;
  QComboBox* ComboBoxInputs = nullptr;
  QComboBox* ComboBoxOutputs = nullptr;
  QLineEdit* EditBufferTime = nullptr;
  QCheckBox* CheckBoxAutoBufferTime = nullptr;
  QLabel* LabelBufferFigures = nullptr;
  QLineEdit* EditBufferResolution = nullptr;
  QPushButton* BitBtnApplyMidi = nullptr;
  QPushButton* BitBtnCancelMidi = nullptr;

  QPushButton* SpeedButtonClearMonitor = nullptr;
  QCheckBox* CheckBoxMonitoring = nullptr;
  QScrollArea* ScrollBoxMonitor = nullptr;
  TVTerm* VTermMonitor = nullptr;

 private:
  // ---- Components owned by the window
  const std::string FSettingsFile;
  TFormAbout* FormAbout = nullptr;  // owned by the program, lives as long as the window
  // Declared before the sockets and the buffer, so it outlives what reports to it.
  std::unique_ptr<TSession> Session;
  std::unique_ptr<TTimedBuffer> TimedBuffer;
  std::unique_ptr<TMidiInput> MidiInput;
  std::unique_ptr<TMidiPlayer> MidiPlayer;  // the output port; played from the worker
  std::unique_ptr<TClientSocket> ClientSocket;
  std::unique_ptr<TServerSocket> ServerSocket;
  std::unique_ptr<uint8_t[]> ReadBlock;         // each read from a socket lands here
  std::unique_ptr<TServerFinder> ServerFinder;  // DNS-SD: announces the server, lists others

  // ---- State (GUI thread unless said otherwise)
  bool FDestroying = false;  // set when shut-down starts; late events then do nothing
  bool FClosed = false;      // the shut-down sequence has run; the buffer is gone
  std::string BaseCaption;
  int32_t FPort = 0;
  std::string FServerName;
  std::string FYourName;
  bool FDisableNagle = true;
  bool FAutoStart = false;
  bool FMonitoring = false;
  uint32_t FBufferTime = 1000;
  bool FAutoBufferTime = false;
  uint64_t FBufferOverflows = 0;  // entries the full timed buffer refused
  std::string FShownLosses;       // the losses the Connections page shows
  uint32_t FBufferResolution = 5;
  std::string FMidiInName;
  std::string FMidiOutName;
  std::string LoadedMidiIn;
  std::string LoadedMidiOut;
  bool FDeviceListsFilled = false;
  QStringList FConnectionList;  // sorted case-insensitively, no duplicates
  int FUpdateCount = 0;
};
