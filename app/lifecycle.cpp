// The window's life: creating the form, start-up and shut-down, the window's own events, the
// shell's keys and the menu commands.

#include <QApplication>
#include <QCheckBox>
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
#include "app/serverfinder.h"
#include "platform/messagebox.h"
#include "terminal/vterm.h"

namespace {

QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption) {
  auto* page = new QWidget(pages);
  page->setObjectName(name);
  pages->addTab(page, caption);
  return page;
}

}  // namespace

TFormServerMain::TFormServerMain(std::string settingsFile, QWidget* parent)
    : QMainWindow(parent), FEngine(std::move(settingsFile)) {
  setObjectName("FormServerMain");
  setWindowTitle("Tessel client/server");
  // The settings file's window bounds default to the form's.
  const TWindowBounds bounds;
  move(bounds.Left, bounds.Top);
  resize(bounds.Width, bounds.Height);
  FormCreate();
}

TFormServerMain::~TFormServerMain() {
  // Late news of the engine's shut-down finds no controls to draw on.
  FEngine.SetObserver(nullptr);
  qApp->removeEventFilter(this);
}

void TFormServerMain::FormCreate() {
  BuildMenu();

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(2);
  layout->addWidget(BuildAdmissionBar());
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

  ServerFinder = std::make_unique<TServerFinder>(*this);
  // The engine's news reaches the controls, so the controls come first.
  FEngine.SetObserver(this);

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
  connect(MenuItemConnect, &QAction::triggered, this, [this] { SpeedButtonConnectClick(); });
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
  setWindowTitle("Tessel");
  BaseCaption = windowTitle().toStdString();
  MemoChatSend->clear();
  for (TVTerm* term : {VTermMonitor, VTermChat}) {
    term->Clear();
    term->MoveCursor(0, 0);
  }
  SaveBounds();
  FEngine.Start();
  ApplyBounds();
  CheckBoxMonitoring->setChecked(Monitoring());
  UpdateCaption();
  PageControlMain->setCurrentWidget(IsServer() ? TabSheetConnections : TabSheetChat);
}

void TFormServerMain::FormClose() {
  FClosed = true;
  SaveBounds();
  FEngine.Stop();
  ShowConnections();
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
