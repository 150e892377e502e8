// Times the chat view taking 1 MB of chat text full of random escape sequences, as a hostile
// peer could send it: through the window's chat path (one Chat packet per 8 KB, as relayed),
// through the terminal control alone, and through the screen's interpreter alone, each with
// the paint that follows where there is one. The goal is under 100 ms for the chat path.
//
//   bench_chat_escape [kilobytes] [rounds]      (default 1024 and 5; offscreen unless told)

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/frmclientserver.h"
#include "bench/paintcounter.h"
#include "midi/mmsystem.h"
#include "platform/inifile.h"
#include "protocol/data.h"
#include "terminal/screen.h"
#include "terminal/vterm.h"
#include "tests/support/escapetext.h"

namespace {

constexpr size_t kPacketBytes = 8192;

// Best and median of `rounds` runs of `step`, in milliseconds.
void Time(const char* name, int rounds, const TPaintCounter& counter,
          const std::function<void()>& step) {
  std::vector<double> ms;
  const int paintsBefore = counter.Paints;
  for (int r = 0; r < rounds; ++r) {
    QElapsedTimer timer;
    timer.start();
    step();
    ms.push_back(double(timer.nsecsElapsed()) / 1e6);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s best %8.1f ms   median %8.1f ms   %d paints\n", name, ms.front(),
              ms[ms.size() / 2], counter.Paints - paintsBefore);
}

// The text as the chat packets that would carry it arrive.
std::vector<std::string> ChatPackets(const std::string& text) {
  std::vector<std::string> packets;
  for (size_t at = 0; at < text.size(); at += kPacketBytes)
    packets.push_back(text.substr(at, kPacketBytes));
  return packets;
}

std::string ServerSettings(const QTemporaryDir& folder) {
  const std::string path = folder.filePath("tessel.INI").toStdString();
  TIniFile ini(path);
  ini.WriteBool("Settings", "IsSever", true);
  ini.WriteBool("Settings", "AutoStart", false);
  ini.WriteBool("Settings", "Monitoring", false);
  ini.UpdateFile();
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  mmsystem::UseLoopbackMidi(1);
  const size_t bytes = (argc > 1 ? size_t(std::atol(argv[1])) : 1024) * 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string text = RandomEscapeText(bytes, 1);
  std::printf("%zu bytes of chat text, %d rounds\n", text.size(), rounds);

  QTemporaryDir folder;
  TFormServerMain window(ServerSettings(folder));
  window.show();
  // The window opens on the page it was closed on; the chat page must be the one shown.
  window.PageControlMain->setCurrentWidget(window.TabSheetChat);
  TPaintCounter paints;
  window.VTermChat->installEventFilter(&paints);
  QApplication::processEvents();
  const std::vector<std::string> packets = ChatPackets(text);
  TEngineObserver& view = window;
  Time("chat path: ChatShown per 8 KB packet + paint", rounds, paints, [&] {
    for (const std::string& packet : packets) view.ChatShown(packet);
    QApplication::processEvents();
  });

  TVTerm* term = window.VTermChat;
  Time("terminal: one WriteBuffer + paint", rounds, paints, [&] {
    term->WriteBuffer(text.data(), text.size());
    QApplication::processEvents();
  });

  TScreen screen;
  screen.SetRows(500);
  screen.SetCols(150);
  Time("screen interpreter alone (500 x 150)", rounds, paints, [&] {
    for (char ch : text) screen.PutChar(static_cast<uint8_t>(ch));
  });

  // Not random: the costliest sequence there is, a whole-screen erase, over and over.
  std::string clears;
  while (clears.size() < text.size()) clears += "\x1b[2J";
  const std::vector<std::string> clearPackets = ChatPackets(clears);
  Time("chat path, nothing but ESC [ 2 J", 1, paints, [&] {
    for (const std::string& packet : clearPackets) view.ChatShown(packet);
    QApplication::processEvents();
  });
  return 0;
}
