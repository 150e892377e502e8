// The settings page: its three Apply/Undo groups, which read the edits and hand the values to
// the engine, and the window's bounds in the settings file.

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <optional>

#include "app/frmclientserver.h"
#include "midi/mmsystem.h"
#include "platform/messagebox.h"
#include "platform/text.h"

namespace {

// Ends an Apply early without a message; the group stays changed.
struct EAbandonApply {};

// An edit's text as a decimal integer of type T; blanks around it are allowed.
template <typename T>
std::optional<T> IntegerIn(const QLineEdit* edit) {
  return ParseInteger<T>(edit->text().trimmed().toStdString());
}

QString DecimalText(int64_t value) { return QString::number(value); }

// A window bound from the file is kept only inside [low, high].
int Bounded(int value, int low, int high, int fallback) {
  return value < low || value > high ? fallback : value;
}

void AddButtonRow(QVBoxLayout* layout, QPushButton*& apply, QPushButton*& undo,
                  const QString& applyName, const QString& undoName, QWidget* parent) {
  apply = new QPushButton("Apply", parent);
  apply->setObjectName(applyName);
  undo = new QPushButton("Undo", parent);
  undo->setObjectName(undoName);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(apply);
  row->addWidget(undo);
  layout->addLayout(row);
}

QGroupBox* NewGroupBox(const QString& name, const QString& caption, QWidget* parent) {
  auto* box = new QGroupBox(caption, parent);
  box->setObjectName(name);
  return box;
}

QLineEdit* NewEdit(const QString& name, const QString& text, QWidget* parent) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(name);
  return edit;
}

QCheckBox* NewCheckBox(const QString& name, const QString& caption, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  return box;
}

}  // namespace

// ---- The settings page

void TFormServerMain::BuildSettingsPage() {
  auto* page = new QVBoxLayout(TabSheetSettings);

  QGroupBox* chat = NewGroupBox("GroupBoxChat", "Chat settings", TabSheetSettings);
  auto* chatLayout = new QVBoxLayout(chat);
  auto* chatForm = new QFormLayout;
  EditYourName = NewEdit("EditYourName", "Quiet Orchard", chat);
  chatForm->addRow("Chat name", EditYourName);
  chatLayout->addLayout(chatForm);
  AddButtonRow(chatLayout, BitBtnApplyChat, BitBtnCancelChat, "BitBtnApplyChat", "BitBtnCancelChat",
               chat);
  page->addWidget(chat);

  QGroupBox* ip = NewGroupBox("GroupBoxTcp", "IP settings", TabSheetSettings);
  auto* ipLayout = new QVBoxLayout(ip);
  auto* ipForm = new QFormLayout;
  EditIpPort = NewEdit("EditIpPort", "1024", ip);
  ipForm->addRow("Port", EditIpPort);
  LabelServerName = new QLabel("Server name or IP address", ip);
  LabelServerName->setObjectName("LabelServerName");
  EditServerName = NewEdit("EditServerName", "", ip);
  ipForm->addRow(LabelServerName, EditServerName);
  CheckBoxPassword = NewCheckBox("CheckBoxPassword", "Password", ip);
  CheckBoxPassword->setToolTip(
      "As a server: every client must give it. As a client: what this copy gives a server "
      "that asks. Leave the field empty to keep the one set.");
  EditPassword = NewEdit("EditPassword", "", ip);
  EditPassword->setEchoMode(QLineEdit::Password);
  ipForm->addRow(CheckBoxPassword, EditPassword);
  LabelWhoMayConnect = new QLabel("Who may connect", ip);
  LabelWhoMayConnect->setObjectName("LabelWhoMayConnect");
  ComboBoxWhoMayConnect = new QComboBox(ip);
  ComboBoxWhoMayConnect->setObjectName("ComboBoxWhoMayConnect");
  // In the order of TWhoMayConnect.
  ComboBoxWhoMayConnect->addItems({"Anyone", "Ask me", "Only listed"});
  ipForm->addRow(LabelWhoMayConnect, ComboBoxWhoMayConnect);
  ipLayout->addLayout(ipForm);
  ipLayout->addWidget(BuildAllowedPeers(ip));
  CheckBoxAutoStart = NewCheckBox("CheckBoxAutoStart", "Auto start IP", ip);
  CheckBoxIsServer = NewCheckBox("CheckBoxIsServer", "Is server", ip);
  CheckBoxDisableNagle = NewCheckBox("CheckBoxDisableNagle", "Disable Nagle", ip);
  CheckBoxRtpMidi = NewCheckBox("CheckBoxRtpMidi", "RTP-MIDI", ip);
  CheckBoxRtpMidi->setToolTip(
      "As a server, Macs, iPads and PCs join with their network MIDI on the UDP ports beside "
      "the port");
  ipLayout->addWidget(CheckBoxAutoStart);
  ipLayout->addWidget(CheckBoxIsServer);
  ipLayout->addWidget(CheckBoxDisableNagle);
  ipLayout->addWidget(CheckBoxRtpMidi);
  AddButtonRow(ipLayout, BitBtnApplyIp, BitBtnCancelIp, "BitBtnApplyIp", "BitBtnCancelIp", ip);
  page->addWidget(ip);

  QGroupBox* midi = NewGroupBox("GroupBoxMidi", "MIDI settings", TabSheetSettings);
  auto* midiLayout = new QVBoxLayout(midi);
  auto* midiForm = new QFormLayout;
  ComboBoxInputs = new QComboBox(midi);
  ComboBoxInputs->setObjectName("ComboBoxInputs");
  ComboBoxOutputs = new QComboBox(midi);
  ComboBoxOutputs->setObjectName("ComboBoxOutputs");
  EditBufferTime = NewEdit("EditBufferTime", "", midi);
  CheckBoxAutoBufferTime = NewCheckBox("CheckBoxAutoBufferTime", "Auto", midi);
  CheckBoxAutoBufferTime->setToolTip("The buffer time follows the network's jitter");
  auto* bufferTimeRow = new QHBoxLayout;
  bufferTimeRow->addWidget(EditBufferTime, 1);
  bufferTimeRow->addWidget(CheckBoxAutoBufferTime);
  LabelBufferFigures = new QLabel(midi);
  LabelBufferFigures->setObjectName("LabelBufferFigures");
  LabelBufferFigures->setToolTip("How late MIDI packets arrive, and the share too late to play");
  LabelNoMidiSystem = new QLabel(
      "No MIDI system is running, so there are no devices to choose. Start JACK (or "
      "PipeWire's JACK service), or load the ALSA sequencer (snd-seq), then start Tessel again.",
      midi);
  LabelNoMidiSystem->setObjectName("LabelNoMidiSystem");
  LabelNoMidiSystem->setWordWrap(true);
  LabelNoMidiSystem->setVisible(mmsystem::ActiveMidiSystem() == mmsystem::MidiSystem::None);
  EditBufferResolution = NewEdit("EditBufferResolution", "", midi);
  midiForm->addRow("MIDI &Input", ComboBoxInputs);
  midiForm->addRow("MIDI &Output", ComboBoxOutputs);
  midiForm->addRow("Buffer time (ms)", bufferTimeRow);
  midiForm->addRow("", LabelBufferFigures);
  midiForm->addRow("Buffer resolution (ms)", EditBufferResolution);
  midiLayout->addWidget(LabelNoMidiSystem);
  midiLayout->addLayout(midiForm);
  AddButtonRow(midiLayout, BitBtnApplyMidi, BitBtnCancelMidi, "BitBtnApplyMidi", "BitBtnCancelMidi",
               midi);
  page->addWidget(midi);
  page->addStretch();

  // Program-side text and check changes mark a group changed just as the user's edits do.
  const auto chatChanged = [this] { SetChatSettingsChanged(true); };
  const auto ipChanged = [this] { SetIpSettingsChanged(true); };
  const auto midiChanged = [this] { SetMidiSettingsChanged(true); };
  connect(EditYourName, &QLineEdit::textChanged, this, chatChanged);
  connect(EditIpPort, &QLineEdit::textChanged, this, ipChanged);
  connect(EditServerName, &QLineEdit::textChanged, this, ipChanged);
  connect(EditPassword, &QLineEdit::textChanged, this, ipChanged);
  connect(ComboBoxWhoMayConnect, &QComboBox::activated, this, ipChanged);
  for (QCheckBox* box : {CheckBoxIsServer, CheckBoxAutoStart, CheckBoxDisableNagle,
                         CheckBoxPassword, CheckBoxRtpMidi})
    connect(box, &QCheckBox::toggled, this, ipChanged);
  // Only the user's selection counts: `activated` is not emitted for program-side selections.
  connect(ComboBoxInputs, &QComboBox::activated, this, midiChanged);
  connect(ComboBoxOutputs, &QComboBox::activated, this, midiChanged);
  connect(EditBufferTime, &QLineEdit::textChanged, this, midiChanged);
  connect(EditBufferResolution, &QLineEdit::textChanged, this, midiChanged);
  connect(CheckBoxAutoBufferTime, &QCheckBox::toggled, this, midiChanged);

  connect(BitBtnApplyChat, &QPushButton::clicked, this, [this] { ApplyChatSettings(); });
  connect(BitBtnCancelChat, &QPushButton::clicked, this, [this] { UndoChatSettings(); });
  connect(BitBtnApplyIp, &QPushButton::clicked, this, [this] { ApplyIpSettings(); });
  connect(BitBtnCancelIp, &QPushButton::clicked, this, [this] { UndoIpSettings(); });
  connect(BitBtnApplyMidi, &QPushButton::clicked, this, [this] { ApplyMidiSettings(); });
  connect(BitBtnCancelMidi, &QPushButton::clicked, this, [this] { UndoMidiSettings(); });
}

// ---- The settings file, with the window's bounds

void TFormServerMain::LoadSettings() {
  SaveBounds();
  FEngine.LoadSettings();
  ApplyBounds();
  CheckBoxMonitoring->setChecked(Monitoring());
}

void TFormServerMain::SaveSettings() {
  SaveBounds();
  FEngine.SaveSettings();
}

void TFormServerMain::SaveBounds() { FEngine.SetWindowBounds({x(), y(), width(), height()}); }

void TFormServerMain::ApplyBounds() {
  TWindowBounds bounds = FEngine.Settings().Window;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize display = screen->size();
    bounds.Left = Bounded(bounds.Left, -8, display.width() - 50, 0);
    bounds.Top = Bounded(bounds.Top, -8, display.height() - 50, 0);
    bounds.Width = Bounded(bounds.Width, 20, display.width() + 16, 20);
    bounds.Height = Bounded(bounds.Height, 10, display.height() + 16, 10);
  }
  move(bounds.Left, bounds.Top);
  resize(bounds.Width, bounds.Height);
}

// ---- Setters: one value each, the link left as it is

void TFormServerMain::SetPort(int32_t value) {
  TIpSettings ip = FEngine.IpSettings();
  ip.Port = value;
  FEngine.SetIpValues(ip);
  EditIpPort->setText(DecimalText(value));
}

void TFormServerMain::SetIsServer(bool value) {
  TIpSettings ip = FEngine.IpSettings();
  ip.IsServer = value;
  FEngine.SetIpValues(ip);
}

void TFormServerMain::SetServerName(const std::string& value) {
  TIpSettings ip = FEngine.IpSettings();
  ip.ServerName = value;
  FEngine.SetIpValues(ip);
  EditServerName->setText(QString::fromStdString(value));
}

void TFormServerMain::SetYourName(const std::string& value) {
  FEngine.ApplyChatSettings(value);
  EditYourName->setText(QString::fromStdString(value));
}

void TFormServerMain::SetAutoStart(bool value) {
  TIpSettings ip = FEngine.IpSettings();
  ip.AutoStart = value;
  FEngine.SetIpValues(ip);
  CheckBoxAutoStart->setChecked(value);
}

void TFormServerMain::SetDisableNagle(bool value) {
  TIpSettings ip = FEngine.IpSettings();
  ip.DisableNagle = value;
  FEngine.SetIpValues(ip);
  CheckBoxDisableNagle->setChecked(value);
}

// The engine set the values itself: the group shows them, unchanged.
void TFormServerMain::SettingsChanged(TSettingsGroup group) {
  switch (group) {
    case TSettingsGroup::Chat:
      return UndoChatSettings();
    case TSettingsGroup::Ip:
      return UndoIpSettings();
    case TSettingsGroup::Midi:
      SetAutoBufferTime(AutoBufferTime());
      return UndoMidiSettings();
  }
}

// ---- Changed state of the groups

void TFormServerMain::SetChatSettingsChanged(bool value) {
  BitBtnApplyChat->setEnabled(value);
  BitBtnCancelChat->setEnabled(value);
}

void TFormServerMain::SetIpSettingsChanged(bool value) {
  BitBtnApplyIp->setEnabled(value);
  BitBtnCancelIp->setEnabled(value);
  // A server has no server name to show, and a client no one to let in.
  const bool client = !CheckBoxIsServer->isChecked();
  LabelServerName->setVisible(client);
  EditServerName->setVisible(client);
  LabelWhoMayConnect->setVisible(!client);
  ComboBoxWhoMayConnect->setVisible(!client);
  PanelAllowedPeers->setVisible(!client);
  EditPassword->setEnabled(CheckBoxPassword->isChecked());
}

void TFormServerMain::SetMidiSettingsChanged(bool value) {
  BitBtnApplyMidi->setEnabled(value);
  BitBtnCancelMidi->setEnabled(value);
}

// ---- Apply and Undo

void TFormServerMain::ApplyChatSettings() {
  SetYourName(EditYourName->text().toStdString());
  SetChatSettingsChanged(false);
}

void TFormServerMain::UndoChatSettings() {
  EditYourName->setText(QString::fromStdString(YourName()));
  SetChatSettingsChanged(false);
}

void TFormServerMain::ApplyIpSettings() {
  // Only a TCP port can be listened on or connected to.
  const std::optional<int32_t> port = IntegerIn<int32_t>(EditIpPort);
  if (!port || *port < 0 || *port > 65535) {
    EditIpPort->setFocus();
    return;
  }
  TIpSettings ip{*port,
                 CheckBoxIsServer->isChecked(),
                 EditServerName->text().toStdString(),
                 CheckBoxAutoStart->isChecked(),
                 CheckBoxDisableNagle->isChecked(),
                 static_cast<TWhoMayConnect>(ComboBoxWhoMayConnect->currentIndex()),
                 CheckBoxPassword->isChecked(),
                 EditPassword->text().toStdString(),
                 CheckBoxRtpMidi->isChecked()};
  FEngine.ApplyIpSettings(ip);
  UndoIpSettings();
}

void TFormServerMain::UndoIpSettings() {
  EditIpPort->setText(DecimalText(Port()));
  CheckBoxIsServer->setChecked(IsServer());
  EditServerName->setText(QString::fromStdString(ServerName()));
  CheckBoxAutoStart->setChecked(AutoStart());
  CheckBoxDisableNagle->setChecked(DisableNagle());
  const TIpSettings ip = FEngine.IpSettings();
  CheckBoxPassword->setChecked(ip.Password);
  CheckBoxRtpMidi->setChecked(ip.RtpMidi);
  // The password is never shown; an empty field keeps the one set.
  EditPassword->clear();
  EditPassword->setPlaceholderText(ip.Password ? "(set)" : "");
  ComboBoxWhoMayConnect->setCurrentIndex(static_cast<int>(ip.WhoMayConnect));
  ShowAllowedPeers();
  SetIpSettingsChanged(false);
}

uint32_t TFormServerMain::ReadCardinalEdit(QLineEdit* edit) {
  const std::optional<int64_t> value = IntegerIn<int64_t>(edit);
  if (!value) {
    edit->setFocus();
    throw EAbandonApply();
  }
  if (*value < 0 || *value > std::numeric_limits<uint32_t>::max()) throw EAbandonApply();
  return static_cast<uint32_t>(*value);
}

uint32_t TFormServerMain::ReadBufferEdit(QLineEdit* edit) {
  const uint32_t value = ReadCardinalEdit(edit);
  if (value > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) throw EAbandonApply();
  return value;
}

void TFormServerMain::ApplyMidiSettings() {
  TMidiSettings midi;
  try {
    // While Auto is on the field shows the value in force, which is not the fixed one.
    midi.BufferTime = AutoBufferTime() ? BufferTime() : ReadBufferEdit(EditBufferTime);
    midi.BufferResolution = ReadBufferEdit(EditBufferResolution);
  } catch (const EAbandonApply&) {
    return;
  }
  midi.AutoBufferTime = CheckBoxAutoBufferTime->isChecked();
  if (ComboBoxInputs->currentIndex() >= 0) midi.MidiIn = ComboBoxInputs->currentText().toStdString();
  if (ComboBoxOutputs->currentIndex() >= 0)
    midi.MidiOut = ComboBoxOutputs->currentText().toStdString();
  FEngine.ApplyMidiSettings(midi);
  SetAutoBufferTime(AutoBufferTime());
  SetMidiSettingsChanged(false);
}

void TFormServerMain::SelectByName(QComboBox* list, const std::string& name) {
  // From the program: not an edit of the group.
  list->setCurrentIndex(list->findText(QString::fromStdString(name), Qt::MatchFixedString));
}

void TFormServerMain::UndoMidiSettings() {
  SelectByName(ComboBoxInputs, MidiInName());
  SelectByName(ComboBoxOutputs, MidiOutName());
  EditBufferTime->setText(DecimalText(BufferTime()));
  EditBufferResolution->setText(DecimalText(BufferResolution()));
  CheckBoxAutoBufferTime->setChecked(AutoBufferTime());
  BufferFiguresChanged(FEngine.BufferFigures());
  SetMidiSettingsChanged(false);
}
