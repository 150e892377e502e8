#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>

#include "app/frmclientserver.h"
#include "terminal/vterm.h"
#include "tests/support/linktestsupport.h"

using namespace std::chrono_literals;

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content.data(), static_cast<qint64>(content.size()));
}

// Row `row` of a terminal without its trailing blanks.
std::string RowText(const TCustomVTerm& term, int row) {
  const TLine& line = term.Screen().Lines(row);
  std::string text(line.Chars.begin(), line.Chars.begin() + term.Cols());
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string Caption(const QWidget& window) { return window.windowTitle().toStdString(); }

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseLoopbackDevices(); }

  void Start() {
    form = std::make_unique<TFormServerMain>(settings.Path());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }

  void ShowPage(QWidget* page) {
    form->PageControlMain->setCurrentWidget(page);
    QCoreApplication::processEvents();
  }

  TTempSettings settings;
  TMessageRecorder messages;
  std::unique_ptr<TFormServerMain> form;
};

TEST_F(MainWindowTest, FirstStartWithoutSettingsFileRunsAsDisconnectedClient) {
  Start();
  EXPECT_EQ(Caption(*form), "Tessel - Client (not connected)");
  EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "Tessel - Client");
  EXPECT_EQ(form->MenuItemConnect->text().toStdString(), "Connect");
  EXPECT_EQ(form->SpeedButtonConnect->text().toStdString(), "Connect");
  EXPECT_TRUE(form->SpeedButtonDisconnect->isHidden());
  EXPECT_EQ(form->PageControlMain->currentWidget(), form->TabSheetChat);
  EXPECT_FALSE(form->MidiInOpen());
  EXPECT_FALSE(form->MidiOutOpen());
  EXPECT_EQ(form->BufferTime(), 1000u);
  EXPECT_EQ(form->BufferResolution(), 5u);
  EXPECT_TRUE(form->DisableNagle());
  EXPECT_FALSE(form->Active());
  EXPECT_FALSE(form->BitBtnApplyIp->isEnabled());
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(MainWindowTest, StartUpLoadsSettingsOverTheDefaultsThenReportsMissingPortAndShowsPage) {
  WriteFile(settings.Path(),
            "[Settings]\nIsSever=1\nBufferTime=250\nMonitoring=1\nMidiOut=No such synth\n");
  Start();

  // The defaults come before the file and the page choice after it.
  EXPECT_EQ(Caption(*form), "Tessel - Server (not listening)");
  EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "Tessel - Server");
  EXPECT_EQ(form->MenuItemConnect->text().toStdString(), "Listen");
  EXPECT_FALSE(form->SpeedButtonDisconnect->isHidden());
  EXPECT_EQ(form->PageControlMain->currentWidget(), form->TabSheetConnections);
  EXPECT_EQ(form->BufferTime(), 250u);
  EXPECT_EQ(form->BufferResolution(), 5u);
  EXPECT_TRUE(form->CheckBoxMonitoring->isChecked());

  // The stored output is gone: one box, the port stays closed, start-up went on to the end.
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_EQ(messages.Boxes[0].Caption, "Tessel - Server");
  EXPECT_NE(messages.Boxes[0].Text.find("midi out"), std::string::npos);
  EXPECT_FALSE(form->MidiOutOpen());
  EXPECT_FALSE(form->BitBtnApplyMidi->isEnabled());
}

TEST_F(MainWindowTest, CaptionAndConnectCommandsFollowRoleAndState) {
  Start();
  struct TCase {
    bool Server, Active;
    const char* Caption;
    const char* Button;
  };
  const TCase cases[] = {
      {false, false, "Tessel - Client (not connected)", "Connect"},
      {false, true, "Tessel - Client (connected)", "Disconnect"},
      {true, false, "Tessel - Server (not listening)", "Listen"},
      {true, true, "Tessel - Server (listening)", "Disconnect all"},
  };
  // The client connects to a listener of the test's own; the server listens on any port.
  QTcpServer listener;
  ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
  form->SetServerName("127.0.0.1");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Caption);
    form->ActivateLink(false);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form->Active(); }));
    form->SetIsServer(c.Server);
    form->SetPort(c.Server ? 0 : listener.serverPort());
    form->ActivateLink(c.Active);
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->Active() == c.Active; }));
    EXPECT_EQ(Caption(*form), c.Caption);
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(),
              c.Server ? "Tessel - Server" : "Tessel - Client");
    EXPECT_EQ(form->MenuItemConnect->text().toStdString(), c.Button);
    EXPECT_EQ(form->SpeedButtonConnect->text().toStdString(), c.Button);
    EXPECT_EQ(form->SpeedButtonDisconnect->isHidden(), !c.Server);
  }
}

TEST_F(MainWindowTest, LampStaysLitUntilItsTimerRunsOutAfterTheLastFlash) {
  Start();
  const QColor rest = QApplication::palette().color(QPalette::Button);
  const QColor lit(255, 255, 0);
  const auto colour = [&] { return form->PanelRx->palette().color(QPalette::Window); };
  // The timers run from creation, so every lamp comes to rest by itself.
  ASSERT_TRUE(ProcessEventsUntil([&] { return colour() == rest; }));
  EXPECT_EQ(form->PanelTx->text().toStdString(), "transmit");
  EXPECT_EQ(form->PanelUf->toolTip().toStdString(), "Flashed on MIDI buffer underflow");

  using Clock = std::chrono::steady_clock;
  const auto first = Clock::now();
  auto last = first;
  form->FlashRx();
  // Flashing every 30 ms for longer than the lamp's 111 ms keeps it lit; a check is only
  // meaningful when the loaded machine let the previous flash be recent enough.
  while (Clock::now() - first < 400ms) {
    ProcessEventsFor(30ms);
    if (Clock::now() - last < 80ms) {
      EXPECT_EQ(colour(), lit);
    }
    form->FlashRx();
    last = Clock::now();
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return colour() == rest; }));
  EXPECT_GE(Clock::now() - last, 90ms);
  EXPECT_EQ(form->PanelTx->palette().color(QPalette::Window), rest);
}

TEST_F(MainWindowTest, MonitorWritesOnlyWhileActiveAndClearLeavesTheChatAlone) {
  Start();
  ShowPage(form->TabSheetMonitor);
  form->VTermChat->WriteLine("chat stays");

  form->Log("before");
  EXPECT_EQ(RowText(*form->VTermMonitor, 0), "");

  form->CheckBoxMonitoring->click();
  EXPECT_TRUE(form->Monitoring());
  form->LogFmt("Connect : %s", "peer, 10.0.0.2 : 5401");
  form->Log("");
  form->LogFmt("%s", std::string(400, 'x').c_str());
  EXPECT_EQ(RowText(*form->VTermMonitor, 0), "Connect : peer, 10.0.0.2 : 5401");
  EXPECT_EQ(RowText(*form->VTermMonitor, 1), "");
  EXPECT_EQ(RowText(*form->VTermMonitor, 2), std::string(form->VTermMonitor->Cols(), 'x'));

  form->SetMonitoring(false);
  EXPECT_FALSE(form->CheckBoxMonitoring->isChecked());
  int col = -1, row = -1;
  form->VTermMonitor->GetCursor(col, row);
  const int scroll = form->ScrollBoxMonitor->verticalScrollBar()->value();
  for (int i = 0; i < 1000; ++i) form->LogFmt("recv : %d", i);
  int colAfter = -1, rowAfter = -1;
  form->VTermMonitor->GetCursor(colAfter, rowAfter);
  EXPECT_EQ(colAfter, col);
  EXPECT_EQ(rowAfter, row);
  EXPECT_EQ(RowText(*form->VTermMonitor, 3), "");
  EXPECT_EQ(form->ScrollBoxMonitor->verticalScrollBar()->value(), scroll);

  form->SpeedButtonClearMonitor->click();
  EXPECT_EQ(RowText(*form->VTermMonitor, 0), "");
  form->VTermMonitor->GetCursor(col, row);
  EXPECT_EQ(col, 0);
  EXPECT_EQ(row, 0);
  EXPECT_EQ(form->ScrollBoxMonitor->verticalScrollBar()->value(), 0);
  EXPECT_EQ(RowText(*form->VTermChat, 0), "chat stays");
}

TEST_F(MainWindowTest, FiveHundredLinesScrollTheFirstAwayAndKeepTheCursorInView) {
  Start();
  ShowPage(form->TabSheetMonitor);
  form->SetMonitoring(true);
  for (int i = 0; i < 500; ++i) form->LogFmt("line %d", i);

  TVTerm& term = *form->VTermMonitor;
  EXPECT_EQ(RowText(term, 0), "line 1");
  EXPECT_EQ(RowText(term, 498), "line 499");
  int col = -1, row = -1;
  term.GetCursor(col, row);
  EXPECT_EQ(row, 499);
  EXPECT_EQ(col, 0);
  const QScrollBar* vertical = form->ScrollBoxMonitor->verticalScrollBar();
  EXPECT_GT(vertical->maximum(), 0);
  // The cursor row sits at the bottom of the view; only the bottom margin stays below it.
  EXPECT_NEAR(vertical->value(), vertical->maximum(), term.LineHeight());
  EXPECT_EQ(form->ScrollBoxMonitor->horizontalScrollBar()->value(), 0);
}

TEST_F(MainWindowTest, ColumnCountsFollowTheWindowWidthWithinTheScreensRange) {
  Start();
  ShowPage(form->TabSheetMonitor);
  form->SetMonitoring(true);
  TVTerm& monitor = *form->VTermMonitor;
  TVTerm& chat = *form->VTermChat;
  const auto expectedCols = [](const TVTerm& term, const QScrollArea* box) {
    return std::clamp(box->viewport()->width() / term.CharWidth() - 2, 1, 150);
  };
  EXPECT_EQ(monitor.Cols(), expectedCols(monitor, form->ScrollBoxMonitor));

  // Only the height changes: the text stays.
  form->Log("kept");
  form->resize(form->width(), form->height() + 40);
  ProcessEventsFor(50ms);
  EXPECT_EQ(RowText(monitor, 0), "kept");

  // Wider by several cells: a new count, and the screen is cleared.
  const int before = monitor.Cols();
  form->resize(form->width() + 10 * monitor.CharWidth(), form->height());
  ASSERT_TRUE(ProcessEventsUntil([&] { return monitor.Cols() != before; }));
  EXPECT_EQ(monitor.Cols(), expectedCols(monitor, form->ScrollBoxMonitor));
  EXPECT_EQ(RowText(monitor, 0), "");

  // The chat's page is not in front, yet its view already has the width it will be shown
  // with: showing it later neither changes the count nor erases what it holds.
  chat.WriteLine("hello");
  const int chatCols = chat.Cols();
  ShowPage(form->TabSheetChat);
  ProcessEventsFor(50ms);
  EXPECT_EQ(chat.Cols(), chatCols);
  EXPECT_EQ(chat.Cols(), expectedCols(chat, form->ScrollBoxChat));
  EXPECT_EQ(RowText(chat, 0), "hello");

  // Far wider than 150 cells and narrower than one: always within the screen's range.
  form->resize(1400, form->height());
  ASSERT_TRUE(ProcessEventsUntil([&] { return chat.Cols() == 150; }));
  form->resize(60, form->height());
  ProcessEventsFor(50ms);
  EXPECT_GE(chat.Cols(), 1);
  EXPECT_LE(chat.Cols(), 150);
}

TEST_F(MainWindowTest, AltXAloneClosesTheWindowAndTheSettingsAreWritten) {
  Start();
  QTest::keyClick(form.get(), Qt::Key_X, Qt::ControlModifier | Qt::AltModifier);
  QTest::keyClick(form.get(), Qt::Key_X, Qt::ShiftModifier | Qt::AltModifier);
  QTest::keyClick(form->EditIpPort, Qt::Key_X);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(settings.Path())));

  // From a control that has the focus: the window sees the key first.
  QTest::keyClick(form->EditIpPort, Qt::Key_X, Qt::AltModifier);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(settings.Path())));
}

TEST_F(MainWindowTest, EnterAloneSendsTheChatInputAndATextNoFrameCanCarryStaysInTheBox) {
  Start();
  form->SetYourName("Ann");
  form->SetIsServer(true);  // a server shows its own text at once
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->MemoChatSend->setFocus();
  QTest::keyClicks(form->MemoChatSend, "hello");
  QTest::keyClick(form->MemoChatSend, Qt::Key_Return, Qt::ControlModifier);
  QTest::keyClick(form->MemoChatSend, Qt::Key_Return, Qt::ShiftModifier);
  QTest::keyClick(form->MemoChatSend, Qt::Key_Return, Qt::AltModifier);
  EXPECT_EQ(RowText(*form->VTermChat, 0), "");

  QTest::keyClick(form->MemoChatSend, Qt::Key_Return);
  EXPECT_EQ(RowText(*form->VTermChat, 0), "Ann : hello");
  EXPECT_TRUE(form->MemoChatSend->toPlainText().isEmpty());

  // Fits the input box but no frame: refused before anyone, the sender included, sees it.
  const QString tooLong(40000, 'x');
  form->MemoChatSend->setPlainText(tooLong);
  QTest::keyClick(form->MemoChatSend, Qt::Key_Return);
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_NE(messages.Boxes[0].Text.find("too long"), std::string::npos);
  EXPECT_EQ(form->MemoChatSend->toPlainText(), tooLong);
  EXPECT_EQ(RowText(*form->VTermChat, 2), "");

  form->EditIpPort->setFocus();
  QTest::keyClick(form->EditIpPort, Qt::Key_Return);
  EXPECT_EQ(form->MemoChatSend->toPlainText(), tooLong);
}

}  // namespace
