// Start-up and shut-down, the caption, the status lamps, the shell's keys and menu commands.

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <exception>
#include <functional>

#include "app/frmabout.h"
#include "app/frmclientserver.h"
#include "midi/mmsystem.h"
#include "platform/clientsocket.h"
#include "platform/messagebox.h"
#include "platform/serversocket.h"
#include "platform/text.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"
#include "terminal/vterm.h"

namespace {

const char* const RoleTexts[2] = {"Client", "Server"};
const char* const StateTexts[2][2] = {{"not connected", "connected"},
                                      {"not listening", "listening"}};
const char* const ButtonTexts[2][2] = {{"Connect", "Disconnect"}, {"Listen", "Disconnect all"}};

const QColor kLampLit(255, 255, 0);

// A start-up step that may fail on a MIDI port: the failure is shown and start-up goes on.
void OpenPortStep(const char* failureFormat, const std::string& port,
                  const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& error) {
    ShowMessage(Format(failureFormat, port.c_str(), error.what()));
  }
}

// A shut-down step whose failure must not keep the later ones from running.
void TeardownStep(const std::function<void()>& step) {
  try {
    step();
  } catch (...) {
    ShowException(std::current_exception());
  }
}

void SetLampColour(QLabel* lamp, const QColor& colour) {
  QPalette palette = lamp->palette();
  palette.setColor(QPalette::Window, colour);
  lamp->setPalette(palette);
}

}  // namespace

void TFormServerMain::FormShow() {
  FillMidiDeviceLists();
  Session->StartClock(timeGetTime());
  setWindowTitle("Tessel");
  BaseCaption = windowTitle().toStdString();
  UpdateCaption();
  SetBufferTime(1000);
  SetBufferResolution(5);
  MemoChatSend->clear();
  for (TVTerm* term : {VTermMonitor, VTermChat}) {
    term->Clear();
    term->MoveCursor(0, 0);
  }
  FMidiInName.clear();
  FMidiOutName.clear();
  LoadedMidiIn.clear();
  LoadedMidiOut.clear();

  Session->SetIsServer(false);
  Session->SetActive(false, timeGetTime());
  UpdateCaption();
  SetDisableNagle(true);

  LoadSettings();

  static const char kMidiInFailure[] = "Could not open midi in port (%s) : %s";
  static const char kMidiOutFailure[] = "Could not open midi out port (%s) : %s";
  OpenPortStep(kMidiInFailure, LoadedMidiIn, [this] { SetMidiIn(LoadedMidiIn); });
  OpenPortStep(kMidiOutFailure, LoadedMidiOut, [this] { SetMidiOut(LoadedMidiOut); });
  OpenPortStep(kMidiInFailure, LoadedMidiIn, [this] { SetMidiInOpen(!FMidiInName.empty()); });
  OpenPortStep(kMidiOutFailure, LoadedMidiOut, [this] { SetMidiOutOpen(!FMidiOutName.empty()); });

  if (FAutoStart) {
    Session->KeepLink();
    ApplyLinkAddress();
    ActivateLink(true);
  }
  PageControlMain->setCurrentWidget(IsServer() ? TabSheetConnections : TabSheetChat);
  UndoChatSettings();
  UndoIpSettings();
  UndoMidiSettings();
}

void TFormServerMain::FormClose() {
  FClosed = true;
  Session->Close();
  TeardownStep([this] { SaveSettings(); });
  TimedBuffer.reset();
  TeardownStep([this] { SetMidiInOpen(false); });
  TeardownStep([this] { SetMidiOutOpen(false); });
  TeardownStep([this] { CloseServer(); });
  TeardownStep([this] { ClientSocket->Close(); });
  FConnectionList.clear();
}

void TFormServerMain::UpdateCaption() {
  if (FDestroying) return;
  const char* const role = RoleTexts[IsServer()];
  setWindowTitle(QString::asprintf("%s - %s (%s)", BaseCaption.c_str(), role,
                                   StateTexts[IsServer()][Active()]));
  // The application's title: message boxes take it as their caption. The display name is
  // left alone, since the platform would append it to every window caption.
  QCoreApplication::setApplicationName(QString::asprintf("Tessel - %s", role));
  const QString connectText = ButtonTexts[IsServer()][Active()];
  MenuItemConnect->setText(connectText);
  SpeedButtonConnect->setText(connectText);
  SpeedButtonDisconnect->setVisible(IsServer());
}

// ---- Status lamps

void TFormServerMain::Flash(QLabel* lamp, QTimer* timer) {
  // Restarting keeps a lamp that flashes often lit until 111 ms after the last flash.
  timer->start();
  // Setting a palette costs microseconds; a relay flashes per packet, so set it once per lit spell.
  if (lamp->palette().color(QPalette::Window) != kLampLit) SetLampColour(lamp, kLampLit);
}

void TFormServerMain::PutOut(QLabel* lamp, QTimer* timer) {
  timer->stop();
  SetLampColour(lamp, QApplication::palette().color(QPalette::Button));
}

void TFormServerMain::Flash(TLamp lamp) {
  if (lamp == TLamp::Transmit)
    FlashTx();
  else
    FlashRx();
}

void TFormServerMain::FlashTx() { Flash(PanelTx, TimerTx); }
void TFormServerMain::FlashRx() { Flash(PanelRx, TimerRx); }
void TFormServerMain::FlashOverflow() { Flash(PanelOf, TimerOf); }
void TFormServerMain::FlashUnderflow() { Flash(PanelUf, TimerUf); }

// ---- Keys and commands

bool TFormServerMain::FormKeyDown(int key, Qt::KeyboardModifiers shift) {
  const Qt::KeyboardModifiers modifiers =
      shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (key == Qt::Key_X && modifiers == Qt::AltModifier) {
    close();
    return true;
  }
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if (enter && modifiers == Qt::NoModifier && MemoChatSend->hasFocus()) {
    SendChatInput();
    return true;
  }
  return false;
}

void TFormServerMain::FormResize() {
  FollowWidth(VTermMonitor, ScrollBoxMonitor);
  FollowWidth(VTermChat, ScrollBoxChat);
}

void TFormServerMain::MenuItemExitClick() { close(); }

void TFormServerMain::MenuItemAboutClick() {
  if (FormAbout) {
    FormAbout->exec();
    return;
  }
  TFormAbout about(this);
  about.exec();
}
