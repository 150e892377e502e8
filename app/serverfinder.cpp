#include "app/serverfinder.h"

#include <QAction>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStringListModel>
#include <QStyle>

#include "app/frmclientserver.h"

TServerFinder::TServerFinder(TFormServerMain& window)
    : window_(window),
      names_(new QStringListModel(this)),
      completer_(new QCompleter(names_, this)),
      showAll_(window.EditServerName->addAction(window.style()->standardIcon(QStyle::SP_ArrowDown),
                                                QLineEdit::TrailingPosition)),
      connectTo_(new QMenu("Connect &to", &window)),
      invite_(new QMenu("&Invite RTP-MIDI session", &window)),
      listeningLabel_(new QLabel(window.TabSheetConnections)) {
  completer_->setCaseSensitivity(Qt::CaseInsensitive);
  completer_->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
  window.EditServerName->setCompleter(completer_);
  connect(completer_, qOverload<const QString&>(&QCompleter::activated), this,
          [this](const QString& name) { Choose(name); });
  showAll_->setObjectName("ActionShowServers");
  showAll_->setToolTip("Servers seen on the local network");
  connect(showAll_, &QAction::triggered, this, [this] {
    completer_->setCompletionPrefix("");
    completer_->complete();
  });

  connectTo_->setObjectName("MenuItemConnectTo");
  invite_->setObjectName("MenuItemInviteSession");
  if (auto* actions = window.findChild<QMenu*>("MenuItemFile")) {
    actions->insertMenu(window.MenuItemExit, connectTo_);
    actions->insertMenu(window.MenuItemExit, invite_);
  }

  listeningLabel_->setObjectName("LabelListeningPort");
  if (auto* page = qobject_cast<QBoxLayout*>(window.TabSheetConnections->layout()))
    page->insertWidget(1, listeningLabel_);
  listeningLabel_->hide();

  ShowServers(window.Engine().ServersSeen());
  ShowSessions(window.Engine().SessionsSeen());
}

TServerFinder::~TServerFinder() = default;

void TServerFinder::ShowListening(uint16_t port, uint16_t rtpMidiPort) {
  QString text = QString("Listening on port %1").arg(port);
  if (rtpMidiPort != 0)
    text += QString(", RTP-MIDI on UDP ports %1 and %2").arg(rtpMidiPort).arg(rtpMidiPort + 1);
  listeningLabel_->setText(text);
  listeningLabel_->setVisible(port != 0);
  listeningRtpMidi_ = rtpMidiPort != 0;
  EnableInviting();
}

void TServerFinder::ShowServers(const std::vector<TAnnouncedServer>& servers) {
  QStringList names;
  connectTo_->clear();
  for (const TAnnouncedServer& server : servers) {
    const QString name = QString::fromStdString(server.Name);
    names << name;
    QAction* entry = connectTo_->addAction(name);
    entry->setToolTip(
        QString("%1 port %2").arg(QString::fromStdString(server.Address)).arg(server.Port));
    connect(entry, &QAction::triggered, this, [this, server] { window_.Engine().ConnectTo(server); });
  }
  names_->setStringList(names);
  showAll_->setVisible(!names.isEmpty());
  connectTo_->menuAction()->setEnabled(!names.isEmpty());
}

void TServerFinder::ShowSessions(const std::vector<TAnnouncedServer>& sessions) {
  invite_->clear();
  for (const TAnnouncedServer& session : sessions) {
    QAction* entry = invite_->addAction(QString::fromStdString(session.Name));
    entry->setToolTip(QString("%1, UDP ports %2 and %3")
                          .arg(QString::fromStdString(session.Address))
                          .arg(session.Port)
                          .arg(session.Port + 1));
    connect(entry, &QAction::triggered, this,
            [this, session] { window_.Engine().InviteSession(session); });
  }
  EnableInviting();
}

void TServerFinder::EnableInviting() {
  invite_->menuAction()->setEnabled(listeningRtpMidi_ && !invite_->isEmpty());
}

// A name chosen from the list brings its port along; the address is looked up at connect.
void TServerFinder::Choose(const QString& name) {
  for (const TAnnouncedServer& server : window_.Engine().ServersSeen())
    if (server.Name == name.toStdString()) window_.EditIpPort->setText(QString::number(server.Port));
}
