// The connection list: one line per open connection, known by its description.

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/frmclientserver.h"
#include "app/midiplayer.h"
#include "midi/midiin.h"
#include "midi/mmsystem.h"
#include "platform/clientsocket.h"
#include "platform/serversocket.h"
#include "platform/winsocket.h"
#include "session/session.h"

namespace {

bool LessIgnoringCase(const QString& a, const QString& b) {
  return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

struct TLoss {
  const char* What;
  uint64_t Count;
};

std::string LossesText(std::initializer_list<TLoss> losses) {
  std::string text;
  for (const TLoss& loss : losses) {
    if (loss.Count == 0) continue;
    text += (text.empty() ? "Lost: " : ", ") + std::to_string(loss.Count) + " " + loss.What;
  }
  return text.empty() ? "Nothing lost" : text;
}

}  // namespace

void TFormServerMain::BuildConnectionsPage() {
  auto* page = new QVBoxLayout(TabSheetConnections);
  page->setContentsMargins(2, 2, 2, 2);
  page->setSpacing(2);

  SpeedButtonConnect = new QPushButton("Connect");
  SpeedButtonConnect->setObjectName("SpeedButtonConnect");
  SpeedButtonConnect->setFixedHeight(22);
  SpeedButtonDisconnect = new QPushButton("Disconnect selected");
  SpeedButtonDisconnect->setObjectName("SpeedButtonDisconnect");
  SpeedButtonDisconnect->setFixedHeight(22);
  page->addWidget(NewToolBar(TabSheetConnections, "PanelConnectionsControl",
                             {SpeedButtonConnect, SpeedButtonDisconnect}));

  ListBoxConnections = new QListWidget(TabSheetConnections);
  ListBoxConnections->setObjectName("ListBoxConnections");
  ListBoxConnections->setToolTip("Connect information");
  ListBoxConnections->setSelectionMode(QAbstractItemView::ExtendedSelection);
  page->addWidget(ListBoxConnections, 1);

  FShownLosses = LossesText({});
  LabelLosses = new QLabel(QString::fromStdString(FShownLosses), TabSheetConnections);
  LabelLosses->setObjectName("LabelLosses");
  LabelLosses->setToolTip("What was dropped on the way since the start, by cause");
  LabelLosses->setWordWrap(true);
  page->addWidget(LabelLosses);

  connect(SpeedButtonDisconnect, &QPushButton::clicked, this,
          [this] { SpeedButtonDisconnectClick(); });
}

std::string TFormServerMain::DescribeSocket(const TCustomWinSocket& socket) const {
  return socket.RemoteHost() + ", " + socket.RemoteAddress() + " : " +
         std::to_string(socket.RemotePort());
}

void TFormServerMain::AddConnection(const TCustomWinSocket& socket) {
  const QString line = QString::fromStdString(DescribeSocket(socket));
  const auto at =
      std::lower_bound(FConnectionList.begin(), FConnectionList.end(), line, LessIgnoringCase);
  if (at == FConnectionList.end() || QString::compare(*at, line, Qt::CaseInsensitive) != 0)
    FConnectionList.insert(at, line);
  ShowConnections();
}

void TFormServerMain::RemoveConnection(const TCustomWinSocket& socket) {
  const QString line = QString::fromStdString(DescribeSocket(socket));
  const auto at =
      std::lower_bound(FConnectionList.begin(), FConnectionList.end(), line, LessIgnoringCase);
  if (at != FConnectionList.end() && QString::compare(*at, line, Qt::CaseInsensitive) == 0)
    FConnectionList.erase(at);
  ShowConnections();
}

void TFormServerMain::ShowConnections() {
  if (FUpdateCount > 0 || FDestroying) return;
  ListBoxConnections->clear();
  ListBoxConnections->addItems(FConnectionList);
}

void TFormServerMain::BeginUpdate() { ++FUpdateCount; }

void TFormServerMain::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  if (FUpdateCount == 0) ShowConnections();
}

void TFormServerMain::DisconnectClient(const std::string& description) {
  // Closed connections stay listed until the event loop releases them, so indices hold.
  const int connections = ServerSocket->ActiveConnections();
  for (int i = 0; i < connections; ++i) {
    TCustomWinSocket* connection = ServerSocket->Connections(i);
    if (DescribeSocket(*connection) == description) connection->Close();
  }
}

void TFormServerMain::SpeedButtonDisconnectClick() {
  BeginUpdate();
  try {
    // The list box is not rebuilt until EndUpdate, so items and selection stay valid.
    const int items = ListBoxConnections->count();
    for (int i = 0; i < items; ++i) {
      const QListWidgetItem* item = ListBoxConnections->item(i);
      if (!item->isSelected()) continue;
      if (IsServer())
        DisconnectClient(item->text().toStdString());
      else {
        Session->StopReconnecting();
        ClientSocket->Close();
      }
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TFormServerMain::ShowLosses() {
  const TSessionDrops& drops = Session->Drops();
  const std::string text = LossesText({
      {"MIDI input events the MIDI system had no room for", mmsystem::InputEventsLostBySystem()},
      {"MIDI input events the full input had no room for", MidiInput->LostEvents()},
      {"packets too large to send", drops.FramesTooLarge},
      {"sends a connection refused", drops.SendsRefused},
      {"packets the full MIDI buffer refused", FBufferOverflows},
      {"packets the MIDI output failed on", MidiPlayer->FailedPackets()},
  });
  if (text == FShownLosses) return;
  FShownLosses = text;
  LabelLosses->setText(QString::fromStdString(text));
  Log("** ** ** " + text);
}
