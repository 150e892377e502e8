// Grabs finished windows to PNG files under the build folder so their look can be checked
// by eye: <build>/screenshots/<name>.png. A new window gets its own TEST calling Save.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QSet>
#include <QTabWidget>
#include <QTest>
#include <QWidget>
#include <string>

#include "app/frmabout.h"
#include "app/frmclientserver.h"
#include "terminal/vterm.h"
#include "tests/support/linktestsupport.h"

namespace {

void Save(QWidget& window, const QString& name) {
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QImage image = window.grab().toImage();
  ASSERT_FALSE(image.isNull());

  // A grab with hardly any colours means nothing was painted.
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3) {
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 4) << name.toStdString();

  const QDir folder(QStringLiteral(TESSEL_SCREENSHOT_DIR));
  ASSERT_TRUE(folder.mkpath(QStringLiteral(".")));
  const QString path = folder.filePath(name + QStringLiteral(".png"));
  ASSERT_TRUE(image.save(path)) << path.toStdString();
}

TEST(Screenshots, AboutBox) {
  TFormAbout box;
  Save(box, QStringLiteral("about"));
}

// A chat-like session and a few monitor lines, in the colours peers can send.
TEST(Screenshots, Terminal) {
  TVTerm term;
  QFont font(QStringLiteral("Courier New"));
  font.setPixelSize(11);
  term.SetFont(font);
  term.SetRows(24);
  term.SetCols(80);
  term.WriteLine("\x1b[7m Tessel chat \x1b[0m  connected to 192.168.1.20:5401");
  term.WriteLine("");
  term.WriteLine("\x1b[1;34malice\x1b[0m: shall we try the new groove at 120 bpm?");
  term.WriteLine("\x1b[1;32mbob\x1b[0m:   ready, buffer at 250 ms, sounds tight here");
  term.WriteLine("\x1b[1;35mcarol\x1b[0m: \x1b[43m drums muted \x1b[0m until the bridge");
  term.WriteLine("");
  for (int colour = 0; colour < 8; ++colour) {
    const std::string n = std::to_string(colour);
    term.Write("\x1b[8;4" + n + ";3" + std::to_string(7 - colour) + "m ink " + n + " \x1b[0m ");
  }
  term.WriteLine("");
  for (int colour = 0; colour < 8; ++colour) {
    const std::string n = std::to_string(colour);
    term.Write("\x1b[8;1;3" + n + ";40m lit " + n + " \x1b[0m ");
  }
  term.WriteLine("");
  term.WriteLine("");
  term.WriteLine("send : Midi   time    12  size   3  90 3C 64");
  term.WriteLine("recv : Midi   time    12  size   3  90 3C 64");
  term.WriteLine("send : Midi   time   240  size   3  80 3C 00");
  term.WriteLine("recv : Time   time  5000  size   0");
  term.WriteLine("\x1b[31m** ** ** Socket error 'Connection refused' : '10061'\x1b[0m");
  Save(term, QStringLiteral("terminal"));
}

// Each page of a started window, with a little traffic in its views.
TEST(Screenshots, MainWindowPages) {
  UseLoopbackDevices();
  TTempSettings settings;
  TMessageRecorder messages;
  TFormServerMain window(settings.Path());
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.SetMonitoring(true);
  window.Log("Connect : studio, 192.168.1.20 : 5401");
  window.Log("send : Midi   time    12  size   3  90 3C 64");
  window.Log("recv : Midi   time    12  size   3  90 3C 64");
  window.Log("recv : Time   time  5000  size   0");
  window.VTermChat->WriteLine("Welcome to the Tessel server at studio");
  window.VTermChat->WriteLine("alice : shall we try the new groove at 120 bpm?");
  window.FlashTx();

  const char* const names[] = {"main-connections", "main-chat", "main-settings", "main-monitor"};
  for (int page = 0; page < 4; ++page) {
    window.PageControlMain->setCurrentIndex(page);
    Save(window, QString::fromLatin1(names[page]));
  }
  EXPECT_TRUE(messages.Boxes.empty());
}

}  // namespace
