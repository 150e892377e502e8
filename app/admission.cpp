// Who may connect, as the window shows it: the question about a connection that waits (a bar
// above the pages, so it is seen on any page and never blocks the window), and the list of
// remembered peers on the settings page.

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/frmclientserver.h"

namespace {

QPushButton* NewButton(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  return button;
}

}  // namespace

QWidget* TFormServerMain::BuildAdmissionBar() {
  PanelAdmission = new QFrame(this);
  PanelAdmission->setObjectName("PanelAdmission");
  PanelAdmission->setFrameShape(QFrame::StyledPanel);
  LabelAdmission = new QLabel(PanelAdmission);
  LabelAdmission->setObjectName("LabelAdmission");
  LabelAdmission->setWordWrap(true);
  SpeedButtonAllow = NewButton("SpeedButtonAllow", "Allow", PanelAdmission);
  SpeedButtonAlwaysAllow = NewButton("SpeedButtonAlwaysAllow", "Always allow", PanelAdmission);
  SpeedButtonRefuse = NewButton("SpeedButtonRefuse", "Refuse", PanelAdmission);
  auto* layout = new QHBoxLayout(PanelAdmission);
  layout->addWidget(LabelAdmission, 1);
  for (QPushButton* button : {SpeedButtonAllow, SpeedButtonAlwaysAllow, SpeedButtonRefuse})
    layout->addWidget(button);
  connect(SpeedButtonAllow, &QPushButton::clicked, this,
          [this] { FEngine.AnswerAdmission(TUserAnswer::Allow); });
  connect(SpeedButtonAlwaysAllow, &QPushButton::clicked, this, [this] {
    FEngine.AnswerAdmission(TUserAnswer::AlwaysAllow);
    ShowAllowedPeers();
  });
  connect(SpeedButtonRefuse, &QPushButton::clicked, this,
          [this] { FEngine.AnswerAdmission(TUserAnswer::Refuse); });
  PanelAdmission->hide();
  return PanelAdmission;
}

void TFormServerMain::AdmissionQuestionChanged() {
  const TArrival* question = FEngine.AdmissionQuestion();
  PanelAdmission->setVisible(question != nullptr);
  if (!question) return;
  const std::string who =
      question->HostName.empty() ? question->Address : question->HostName + " (" + question->Address + ")";
  std::string text = "Let " + who + " join?";
  if (FEngine.WaitingConnections() > 1)
    text += " " + std::to_string(FEngine.WaitingConnections() - 1) + " more waiting.";
  LabelAdmission->setText(QString::fromStdString(text));
}

QWidget* TFormServerMain::BuildAllowedPeers(QWidget* parent) {
  PanelAllowedPeers = new QWidget(parent);
  PanelAllowedPeers->setObjectName("PanelAllowedPeers");
  ListBoxAllowedPeers = new QListWidget(PanelAllowedPeers);
  ListBoxAllowedPeers->setObjectName("ListBoxAllowedPeers");
  ListBoxAllowedPeers->setMaximumHeight(80);
  EditAllowedPeer = new QLineEdit(PanelAllowedPeers);
  EditAllowedPeer->setObjectName("EditAllowedPeer");
  EditAllowedPeer->setPlaceholderText("Address or host name");
  SpeedButtonAllowPeer = NewButton("SpeedButtonAllowPeer", "Add", PanelAllowedPeers);
  SpeedButtonForgetPeer = NewButton("SpeedButtonForgetPeer", "Remove", PanelAllowedPeers);
  auto* row = new QHBoxLayout;
  row->addWidget(EditAllowedPeer, 1);
  row->addWidget(SpeedButtonAllowPeer);
  row->addWidget(SpeedButtonForgetPeer);
  auto* layout = new QVBoxLayout(PanelAllowedPeers);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new QLabel("Always allowed", PanelAllowedPeers));
  layout->addWidget(ListBoxAllowedPeers);
  layout->addLayout(row);

  // The list changes at once, without Apply: it is kept with the other settings.
  connect(SpeedButtonAllowPeer, &QPushButton::clicked, this, [this] {
    if (!FEngine.AllowPeer(EditAllowedPeer->text().trimmed().toStdString())) {
      EditAllowedPeer->setFocus();
      return;
    }
    EditAllowedPeer->clear();
    ShowAllowedPeers();
  });
  connect(SpeedButtonForgetPeer, &QPushButton::clicked, this, [this] {
    for (const QListWidgetItem* item : ListBoxAllowedPeers->selectedItems())
      FEngine.ForgetAllowedPeer(item->text().toStdString());
    ShowAllowedPeers();
  });
  return PanelAllowedPeers;
}

void TFormServerMain::ShowAllowedPeers() {
  ListBoxAllowedPeers->clear();
  for (const std::string& entry : FEngine.AllowedPeers())
    ListBoxAllowedPeers->addItem(QString::fromStdString(entry));
}
