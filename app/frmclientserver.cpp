// The designed form: menu, page control, status strip, and the window's own events.

#include "app/frmclientserver.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/midiplayer.h"
#include "app/serverfinder.h"
#include "midi/midiin.h"
#include "platform/clientsocket.h"
#include "platform/serversocket.h"
#include "protocol/timedbuffer.h"

namespace {

constexpr int kLampIntervalMs = 111;
constexpr int kLampWidth = 80;

// The designed bounds; the settings file's window bounds default to them.
constexpr int kDesignedLeft = 33;
constexpr int kDesignedTop = 171;
constexpr int kDesignedWidth = 476;
constexpr int kDesignedHeight = 558;

QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption) {
  auto* page = new QWidget(pages);
  page->setObjectName(name);
  pages->addTab(page, caption);
  return page;
}

}  // namespace

TFormServerMain::TFormServerMain(std::string settingsFile, QWidget* parent)
    : QMainWindow(parent), FSettingsFile(std::move(settingsFile)) {
  setObjectName("FormServerMain");
  setWindowTitle("Tessel client/server");
  move(kDesignedLeft, kDesignedTop);
  resize(kDesignedWidth, kDesignedHeight);
  FormCreate();
}

TFormServerMain::~TFormServerMain() {
  FDestroying = true;
  qApp->removeEventFilter(this);
  // The worker thread plays on the output, so it stops before the output goes; the ports
  // and sockets are closed while the controls their handlers may touch still exist.
  TimedBuffer.reset();
  MidiInput.reset();
  MidiPlayer.reset();
  if (ServerSocket) CloseServer();
  if (ClientSocket) ClientSocket->Close();
  ServerSocket.reset();
  ClientSocket.reset();
}

void TFormServerMain::FormCreate() {
  BuildMenu();

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(2);
  PageControlMain = new QTabWidget(central);
  PageControlMain->setObjectName("PageControlMain");
  TabSheetConnections = NewPage(PageControlMain, "TabSheetConnections", "Connections");
  TabSheetChat = NewPage(PageControlMain, "TabSheetChat", "Chat");
  TabSheetSettings = NewPage(PageControlMain, "TabSheetSettings", "Settings");
  TabSheetMonitor = NewPage(PageControlMain, "TabSheetMonitor", "Monitor");
  layout->addWidget(PageControlMain, 1);
  setCentralWidget(central);

  BuildConnectionsPage();
  BuildChatPage();
  BuildSettingsPage();
  BuildMonitorPage();
  layout->addWidget(BuildStatusStrip());

  // The components' handlers reach the controls, so the controls come first.
  CreateMidiComponents();
  CreateLinkSockets();
  ServerFinder = std::make_unique<TServerFinder>(*this);

  // Key preview: the window sees each key before the focused control does.
  qApp->installEventFilter(this);
}

void TFormServerMain::BuildMenu() {
  QMenu* actions = menuBar()->addMenu("&Actions");
  actions->setObjectName("MenuItemFile");
  MenuItemConnect = actions->addAction("&Connect");
  MenuItemConnect->setObjectName("MenuItemConnect");
  MenuItemExit = actions->addAction("E&xit");
  MenuItemExit->setObjectName("MenuItemExit");
  connect(MenuItemExit, &QAction::triggered, this, [this] { MenuItemExitClick(); });

  QMenu* help = menuBar()->addMenu("&Help");
  help->setObjectName("MenuItemHelp");
  MenuItemAbout = help->addAction("&About ...");
  MenuItemAbout->setObjectName("MenuItemAbout");
  connect(MenuItemAbout, &QAction::triggered, this, [this] { MenuItemAboutClick(); });
}

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

void TFormServerMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // The page control lays out its pages only once it is visible, so the views' column counts
  // are first known here.
  FormResize();
  // Restoring from the task bar is spontaneous and starts nothing; a closed window has
  // freed its buffer and is not started again.
  if (event->spontaneous() || FClosed) return;
  FShown = true;
  FormShow();
}

void TFormServerMain::closeEvent(QCloseEvent* event) {
  if (!FClosed) FormClose();
  event->accept();
}

void TFormServerMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

bool TFormServerMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    const auto* key = static_cast<QKeyEvent*>(event);
    return FormKeyDown(key->key(), key->modifiers());
  }
  return QMainWindow::eventFilter(watched, event);
}
