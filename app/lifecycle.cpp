// The window's life: creating the form, start-up and shut-down, the window's own events, the
// shell's keys and the menu commands.

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <functional>

#include "app/frmabout.h"
#include "app/frmclientserver.h"
#include "app/midiplayer.h"
#include "app/serverfinder.h"
#include "midi/midiin.h"
#include "midi/mmsystem.h"
#include "platform/clientsocket.h"
#include "platform/messagebox.h"
#include "platform/serversocket.h"
#include "platform/text.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"
#include "terminal/vterm.h"

namespace {

// The form's bounds; the settings file's window bounds default to them.
constexpr int kFormLeft = 33;
constexpr int kFormTop = 171;
constexpr int kFormWidth = 476;
constexpr int kFormHeight = 558;

QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption) {
  auto* page = new QWidget(pages);
  page->setObjectName(name);
  pages->addTab(page, caption);
  return page;
}

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

}  // namespace

TFormServerMain::TFormServerMain(std::string settingsFile, QWidget* parent)
    : QMainWindow(parent), FSettingsFile(std::move(settingsFile)) {
  setObjectName("FormServerMain");
  setWindowTitle("Tessel client/server");
  move(kFormLeft, kFormTop);
  resize(kFormWidth, kFormHeight);
  FormCreate();
}

TFormServerMain::~TFormServerMain() {
  FDestroying = true;
  Session->Close();
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
  Session = std::make_unique<TSession>(static_cast<TSessionHost&>(*this));
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

void TFormServerMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // The page control lays out its pages only once it is visible, so the views' column counts
  // are first known here.
  FormResize();
  // Restoring from the task bar is spontaneous and starts nothing; a closed window has
  // freed its buffer and is not started again.
  if (event->spontaneous() || FClosed) return;
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
