#pragma once

// The main window: a view of the running copy (TEngine, engine/), which owns the sockets, the
// session, the buffer, the ports and the settings. The window builds the widgets, turns each
// handler into one engine command and draws what the engine tells. One class, by concern:
//   frmclientserver.cpp  what every concern uses: the caption, the lamps, and the window's
//                        operations kept as short calls into the engine
//   lifecycle.cpp        creating the form, start-up and shut-down, events, keys, menu
//   monitor.cpp          the data monitor and the scroll glue of both terminal views
//   connections.cpp      the connection list and what was lost
//   chat.cpp             the chat
//   routing.cpp          the MIDI device lists and the buffer figures
//   settings.cpp         the settings page and its Apply/Undo groups

#include <QMainWindow>
#include <QStringList>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "engine/engine.h"

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
class TCustomVTerm;
class TData;
class TFormAbout;
class TServerFinder;
class TVTerm;
class TFormServerMain : public QMainWindow, public TEngineObserver {
 public:
  // settingsFile: where the settings persist; the program uses IniFileName(), tests their own.
  explicit TFormServerMain(std::string settingsFile, QWidget* parent = nullptr);
  ~TFormServerMain() override;

  // The window's own operations, in slot order.
  void ReceivePacket(TData& packet);
  void SaveSettings();
  void LoadSettings();
  void SendPacket(TData* packet);

  TEngine& Engine() { return FEngine; }

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
  void Log(const std::string& msg);
  void LogFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void SetMonitoring(bool value);

  // ---- Peer link
  void ActivateLink(bool on) { FEngine.ActivateLink(on); }

  // ---- Connection list (connections.cpp)
  void ShowConnections();
  void SpeedButtonConnectClick() { FEngine.ToggleLink(); }
  void SpeedButtonDisconnectClick();

  // ---- Chat (chat.cpp)
  // Sends the input box's text; a text refused for its size stays there.
  void SendChatInput();

  // ---- MIDI routing (routing.cpp)
  // A name no device has is reported; the port it replaced stays closed.
  void SetMidiIn(const std::string& name);
  void SetMidiOut(const std::string& name);
  void SetMidiInOpen(bool value) { FEngine.SetMidiInOpen(value); }
  void SetMidiOutOpen(bool value) { FEngine.SetMidiOutOpen(value); }
  void SetBufferTime(uint32_t value) { FEngine.SetBufferTime(value); }
  // The buffer time sizes itself to the measured jitter; BufferTime() stays the fixed value.
  void SetAutoBufferTime(bool value);
  void SetBufferResolution(uint32_t value) { FEngine.SetBufferResolution(value); }
  uint16_t TimeSinceLastSend() { return FEngine.TimeSinceLastSend(); }
  void SendTimePacket() { FEngine.SendTimePacket(); }
  void QueueTimePacket(const TData& packet) { FEngine.QueueTimePacket(packet); }
  void QueueMidiPacket(const TData& packet) { FEngine.QueueMidiPacket(packet); }

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

  // Read-only views of the engine's state, for the status of the program and its tests.
  bool IsServer() const { return FEngine.IsServer(); }
  bool Active() const { return FEngine.Active(); }
  int32_t Port() const { return FEngine.Settings().Port; }
  const std::string& ServerName() const { return FEngine.Settings().ServerName; }
  const std::string& YourName() const { return FEngine.Settings().YourName; }
  bool DisableNagle() const { return FEngine.Settings().DisableNagle; }
  bool AutoStart() const { return FEngine.Settings().AutoStart; }
  bool Monitoring() const { return FEngine.Monitoring(); }
  uint32_t BufferTime() const { return FEngine.Settings().BufferTime; }
  bool AutoBufferTime() const { return FEngine.Settings().AutoBufferTime; }
  uint32_t BufferResolution() const { return FEngine.Settings().BufferResolution; }
  const std::string& MidiInName() const { return FEngine.Settings().MidiIn; }
  const std::string& MidiOutName() const { return FEngine.Settings().MidiOut; }
  bool MidiInOpen() const { return FEngine.MidiInOpen(); }
  bool MidiOutOpen() const { return FEngine.MidiOutOpen(); }

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
  QWidget* BuildAdmissionBar();  // admission.cpp: the question about a new connection
  QWidget* BuildAllowedPeers(QWidget* parent);  // admission.cpp: the remembered peers
  void ShowAllowedPeers();
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

  // ---- What the engine tells (each concern's file)
  void LinkStateChanged() override;
  void ListeningChanged(uint16_t port, uint16_t rtpMidiPort) override;
  void ConnectionsChanged(const std::vector<std::string>& connections) override;
  void ChatShown(const std::string& text) override;
  void MonitorLine(const std::string& line) override;
  void LampFlashed(TEngineLamp lamp) override;
  void LossesChanged(const std::string& text) override;
  void BufferFiguresChanged(const TTimedBuffer::TFigures& figures) override;
  void DeviceListsChanged(const TDeviceList& inputs, const TDeviceList& outputs) override;
  void ServersSeenChanged(const std::vector<TAnnouncedServer>& servers) override;
  void SessionsSeenChanged(const std::vector<TAnnouncedServer>& sessions) override;
  void SettingsChanged(TSettingsGroup group) override;
  void MessageShown(const std::string& text) override;
  void AdmissionQuestionChanged() override;

  // ---- Settings
  // The window's bounds into the engine's settings, and back (kept on the screen).
  void SaveBounds();
  void ApplyBounds();
  uint32_t ReadCardinalEdit(QLineEdit* edit);
  // ReadCardinalEdit limited to what the settings file can store (0 .. 2147483647).
  uint32_t ReadBufferEdit(QLineEdit* edit);
  static void SelectByName(QComboBox* list, const std::string& name);

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
  QCheckBox* CheckBoxRtpMidi = nullptr;
  QCheckBox* CheckBoxPassword = nullptr;
  QLineEdit* EditPassword = nullptr;
  QLabel* LabelWhoMayConnect = nullptr;
  QComboBox* ComboBoxWhoMayConnect = nullptr;
  QWidget* PanelAllowedPeers = nullptr;
  QListWidget* ListBoxAllowedPeers = nullptr;
  QLineEdit* EditAllowedPeer = nullptr;
  QPushButton* SpeedButtonAllowPeer = nullptr;
  QPushButton* SpeedButtonForgetPeer = nullptr;
  QPushButton* BitBtnApplyIp = nullptr;
  QPushButton* BitBtnCancelIp = nullptr;
  QComboBox* ComboBoxInputs = nullptr;
  QComboBox* ComboBoxOutputs = nullptr;
  QLineEdit* EditBufferTime = nullptr;
  QCheckBox* CheckBoxAutoBufferTime = nullptr;
  QLabel* LabelBufferFigures = nullptr;
  QLabel* LabelNoMidiSystem = nullptr;  // says what to start while there is no MIDI system
  QLineEdit* EditBufferResolution = nullptr;
  QPushButton* BitBtnApplyMidi = nullptr;
  QPushButton* BitBtnCancelMidi = nullptr;

  QFrame* PanelAdmission = nullptr;  // shown while a new connection waits for an answer
  QLabel* LabelAdmission = nullptr;
  QPushButton* SpeedButtonAllow = nullptr;
  QPushButton* SpeedButtonAlwaysAllow = nullptr;
  QPushButton* SpeedButtonRefuse = nullptr;

  QPushButton* SpeedButtonClearMonitor = nullptr;
  QCheckBox* CheckBoxMonitoring = nullptr;
  QScrollArea* ScrollBoxMonitor = nullptr;
  TVTerm* VTermMonitor = nullptr;

 private:
  // ---- Components
  TFormAbout* FormAbout = nullptr;  // owned by the program, lives as long as the window
  TEngine FEngine;
  std::unique_ptr<TServerFinder> ServerFinder;  // the list of servers seen, in two places

  // ---- State (GUI thread)
  bool FClosed = false;  // the shut-down sequence has run
  bool FHoldConnections = false;  // the list is rebuilt once, after a batch of changes
  std::string BaseCaption;
};
