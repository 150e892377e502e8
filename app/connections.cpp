// The connection list and what was lost on the way, as the engine tells them.

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/frmclientserver.h"

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

  LabelLosses = new QLabel(QString::fromStdString(FEngine.Losses()), TabSheetConnections);
  LabelLosses->setObjectName("LabelLosses");
  LabelLosses->setToolTip("What was dropped on the way since the start, by cause");
  LabelLosses->setWordWrap(true);
  page->addWidget(LabelLosses);

  connect(SpeedButtonConnect, &QPushButton::clicked, this, [this] { SpeedButtonConnectClick(); });
  connect(SpeedButtonDisconnect, &QPushButton::clicked, this,
          [this] { SpeedButtonDisconnectClick(); });
}

void TFormServerMain::ConnectionsChanged(const std::vector<std::string>&) {
  if (!FHoldConnections) ShowConnections();
}

void TFormServerMain::ShowConnections() {
  ListBoxConnections->clear();
  for (const std::string& line : FEngine.Connections())
    ListBoxConnections->addItem(QString::fromStdString(line));
}

void TFormServerMain::SpeedButtonDisconnectClick() {
  std::vector<std::string> selected;
  for (const QListWidgetItem* item : ListBoxConnections->selectedItems())
    selected.push_back(item->text().toStdString());
  // Each closed connection changes the list; it is rebuilt once, after all of them.
  FHoldConnections = true;
  try {
    FEngine.Disconnect(selected);
  } catch (...) {
    FHoldConnections = false;
    ShowConnections();
    throw;
  }
  FHoldConnections = false;
  ShowConnections();
}

void TFormServerMain::LossesChanged(const std::string& text) {
  LabelLosses->setText(QString::fromStdString(text));
}
