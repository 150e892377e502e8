#include "app/serverfinder.h"

#include <QAction>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCompleter>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStringListModel>
#include <QStyle>

#include "app/frmclientserver.h"
#include "app/versioninfo.h"

namespace {

const char kServiceType[] = "_tessel._tcp";
// The TXT record's own layout version, and the program's version for later ones to compare.
const char kTxtVersion[] = "txtvers=1";

std::string ProgramVersion() {
  const std::string key = std::string(VersionBlockPath) + "FileVersion";
  return QueryVersionValue(ExecutableVersionResource(), key).value_or("0");
}

}  // namespace

TServerFinder::TServerFinder(TFormServerMain& window)
    : window_(window),
      dnsSd_(kServiceType),
      names_(new QStringListModel(this)),
      completer_(new QCompleter(names_, this)),
      showAll_(window.EditServerName->addAction(window.style()->standardIcon(QStyle::SP_ArrowDown),
                                                QLineEdit::TrailingPosition)),
      connectTo_(new QMenu("Connect &to", &window)),
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
  if (auto* actions = window.findChild<QMenu*>("MenuItemFile"))
    actions->insertMenu(window.MenuItemExit, connectTo_);

  listeningLabel_->setObjectName("LabelListeningPort");
  if (auto* page = qobject_cast<QBoxLayout*>(window.TabSheetConnections->layout()))
    page->insertWidget(1, listeningLabel_);
  listeningLabel_->hide();

  dnsSd_.OnLog = [this](const std::string& line) { window_.Log(line); };
  dnsSd_.OnServersChanged = [this] { ShowServers(); };
  ShowServers();
}

TServerFinder::~TServerFinder() = default;

void TServerFinder::ServerListening(uint16_t port) {
  listening_ = true;
  listeningPort_ = port;
  listeningLabel_->setText(QString("Listening on port %1").arg(port));
  listeningLabel_->show();
  Announce();
}

void TServerFinder::ServerStopped() {
  listening_ = false;
  listeningLabel_->hide();
  dnsSd_.Withdraw();
}

void TServerFinder::SetChatName(const std::string& name) {
  if (name == chatName_) return;
  chatName_ = name;
  if (listening_) Announce();
}

std::string TServerFinder::InstanceName() const {
  return chatName_.empty() ? QHostInfo::localHostName().toStdString() : chatName_;
}

void TServerFinder::Announce() {
  dnsSd_.Announce(InstanceName(), listeningPort_, {kTxtVersion, "version=" + ProgramVersion()});
}

TLinkTarget TServerFinder::Target(const std::string& serverName, int32_t port) const {
  const TAnnouncedServer* server = dnsSd_.Find(serverName);
  if (!server) return {serverName, port};
  window_.LogFmt("Discovery : '%s' is at %s port %u", server->Name.c_str(), server->Address.c_str(),
                 server->Port);
  return {server->Address, server->Port};
}

void TServerFinder::ShowServers() {
  QStringList names;
  connectTo_->clear();
  for (const TAnnouncedServer& server : dnsSd_.Servers()) {
    const QString name = QString::fromStdString(server.Name);
    names << name;
    QAction* entry = connectTo_->addAction(name);
    entry->setToolTip(
        QString("%1 port %2").arg(QString::fromStdString(server.Address)).arg(server.Port));
    connect(entry, &QAction::triggered, this, [this, server] { ConnectTo(server); });
  }
  names_->setStringList(names);
  showAll_->setVisible(!names.isEmpty());
  connectTo_->menuAction()->setEnabled(!names.isEmpty());
}

// A name chosen from the list brings its port along; the address is looked up at connect.
void TServerFinder::Choose(const QString& name) {
  if (const TAnnouncedServer* server = dnsSd_.Find(name.toStdString()))
    window_.EditIpPort->setText(QString::number(server->Port));
}

void TServerFinder::ConnectTo(const TAnnouncedServer& server) {
  window_.ActivateLink(false);
  window_.CheckBoxIsServer->setChecked(false);
  window_.EditServerName->setText(QString::fromStdString(server.Name));
  window_.EditIpPort->setText(QString::number(server.Port));
  // Apply restarts the link itself when Auto start IP is ticked.
  window_.ApplyIpSettings();
  if (!window_.AutoStart()) window_.ActivateLink(true);
}
