// The parts of the form that every concern uses: the caption, the status lamps, and the short
// calls into the engine that keep the window's operations.

#include "app/frmclientserver.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/serverfinder.h"
#include "platform/messagebox.h"
#include "protocol/data.h"

namespace {

constexpr int kLampIntervalMs = 111;
constexpr int kLampWidth = 80;

const char* const RoleTexts[2] = {"Client", "Server"};
const char* const StateTexts[2][2] = {{"not connected", "connected"},
                                      {"not listening", "listening"}};
const char* const ButtonTexts[2][2] = {{"Connect", "Disconnect"}, {"Listen", "Disconnect all"}};

const QColor kLampLit(255, 255, 0);

void SetLampColour(QLabel* lamp, const QColor& colour) {
  QPalette palette = lamp->palette();
  palette.setColor(QPalette::Window, colour);
  lamp->setPalette(palette);
}

}  // namespace

// ---- The link's and the routing's operations, kept as calls into the engine

void TFormServerMain::ReceivePacket(TData& packet) { FEngine.ReceivePacket(packet); }

void TFormServerMain::SendPacket(TData* packet) {
  if (packet) FEngine.SendPacket(*packet);
}

// ---- Caption

void TFormServerMain::LinkStateChanged() { UpdateCaption(); }

void TFormServerMain::ListeningChanged(uint16_t port, uint16_t rtpMidiPort) {
  ServerFinder->ShowListening(port, rtpMidiPort);
}

void TFormServerMain::ServersSeenChanged(const std::vector<TAnnouncedServer>& servers) {
  ServerFinder->ShowServers(servers);
}

void TFormServerMain::SessionsSeenChanged(const std::vector<TAnnouncedServer>& sessions) {
  ServerFinder->ShowSessions(sessions);
}

void TFormServerMain::MessageShown(const std::string& text) { ShowMessage(text); }

void TFormServerMain::UpdateCaption() {
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

QLabel* TFormServerMain::NewLamp(const char* name, const char* caption, const char* hint,
                                 QTimer*& timer) {
  auto* lamp = new QLabel(caption);
  lamp->setObjectName(name);
  lamp->setToolTip(hint);
  lamp->setAlignment(Qt::AlignCenter);
  lamp->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  lamp->setMinimumWidth(kLampWidth);
  lamp->setAutoFillBackground(true);

  timer = new QTimer(this);
  timer->setObjectName(QString(name).replace("Panel", "Timer"));
  timer->setInterval(kLampIntervalMs);
  QTimer* const lampTimer = timer;
  connect(timer, &QTimer::timeout, this, [this, lamp, lampTimer] { PutOut(lamp, lampTimer); });
  // Running from the start: the first tick gives the lamp its resting colour.
  timer->start();
  return lamp;
}

QWidget* TFormServerMain::BuildStatusStrip() {
  auto* strip = new QFrame;
  strip->setObjectName("PanelInfo");
  auto* layout = new QHBoxLayout(strip);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  PanelTx = NewLamp("PanelTx", "transmit", "Flashed on data transmission", TimerTx);
  PanelRx = NewLamp("PanelRx", "receive", "Flashed on data reception", TimerRx);
  PanelOf = NewLamp("PanelOf", "overflow", "Flashed on MIDI data buffer overflow", TimerOf);
  PanelUf = NewLamp("PanelUf", "underflow", "Flashed on MIDI buffer underflow", TimerUf);
  for (QLabel* lamp : {PanelTx, PanelRx, PanelOf, PanelUf}) layout->addWidget(lamp);
  layout->addStretch(1);
  return strip;
}

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

void TFormServerMain::LampFlashed(TEngineLamp lamp) {
  switch (lamp) {
    case TEngineLamp::Transmit:
      return FlashTx();
    case TEngineLamp::Receive:
      return FlashRx();
    case TEngineLamp::Overflow:
      return FlashOverflow();
    case TEngineLamp::Underflow:
      return FlashUnderflow();
  }
}

void TFormServerMain::FlashTx() { Flash(PanelTx, TimerTx); }
void TFormServerMain::FlashRx() { Flash(PanelRx, TimerRx); }
void TFormServerMain::FlashOverflow() { Flash(PanelOf, TimerOf); }
void TFormServerMain::FlashUnderflow() { Flash(PanelUf, TimerUf); }
