// The settings: their setters, the settings file and the three Apply/Undo groups of the
// settings page.

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
#include "app/serverfinder.h"
#include "platform/inifile.h"
#include "platform/messagebox.h"
#include "platform/text.h"
#include "session/session.h"

namespace {

const std::string kSection = "Settings";

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
  ipLayout->addLayout(ipForm);
  CheckBoxAutoStart = NewCheckBox("CheckBoxAutoStart", "Auto start IP", ip);
  CheckBoxIsServer = NewCheckBox("CheckBoxIsServer", "Is server", ip);
  CheckBoxDisableNagle = NewCheckBox("CheckBoxDisableNagle", "Disable Nagle", ip);
  ipLayout->addWidget(CheckBoxAutoStart);
  ipLayout->addWidget(CheckBoxIsServer);
  ipLayout->addWidget(CheckBoxDisableNagle);
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
  LabelBufferFigures->setToolTip("How late packets arrive, and the share too late to play");
  EditBufferResolution = NewEdit("EditBufferResolution", "", midi);
  midiForm->addRow("MIDI &Input", ComboBoxInputs);
  midiForm->addRow("MIDI &Output", ComboBoxOutputs);
  midiForm->addRow("Buffer time (ms)", bufferTimeRow);
  midiForm->addRow("", LabelBufferFigures);
  midiForm->addRow("Buffer resolution (ms)", EditBufferResolution);
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
  for (QCheckBox* box : {CheckBoxIsServer, CheckBoxAutoStart, CheckBoxDisableNagle})
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

// ---- The settings file

void TFormServerMain::LoadSettings() {
  const TIniFile ini(FSettingsFile);
  const auto readInt = [&ini](const char* key, int32_t current) {
    return ini.ReadInteger(kSection, key, current);
  };
  const auto readBool = [&ini](const char* key, bool current) {
    return ini.ReadBool(kSection, key, current);
  };
  const auto readString = [&ini](const char* key, const std::string& current) {
    return ini.ReadString(kSection, key, current);
  };
  // The buffer settings are unsigned; a negative number in the file means nothing for them.
  const auto readBuffer = [&ini](const char* key, uint32_t current) {
    const int32_t value = ini.ReadInteger(kSection, key, -1);
    return value < 0 ? current : static_cast<uint32_t>(value);
  };

  int left = readInt("Left", x());
  int top = readInt("Top", y());
  int width = readInt("Width", this->width());
  int height = readInt("Height", this->height());
  LoadedMidiIn = readString("MidiIn", LoadedMidiIn);
  LoadedMidiOut = readString("MidiOut", LoadedMidiOut);

  SetBufferTime(readBuffer("BufferTime", FBufferTime));
  SetBufferResolution(readBuffer("BufferResolution", FBufferResolution));
  SetAutoBufferTime(readBool("AutoBufferTime", FAutoBufferTime));
  SetPort(readInt("Port", FPort));
  SetIsServer(readBool("IsSever", IsServer()));
  SetServerName(readString("ServerName", FServerName));
  SetMonitoring(readBool("Monitoring", FMonitoring));
  SetYourName(readString("YourName", FYourName));
  SetAutoStart(readBool("AutoStart", FAutoStart));
  SetDisableNagle(readBool("DisableNagle", FDisableNagle));

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize display = screen->size();
    left = Bounded(left, -8, display.width() - 50, 0);
    top = Bounded(top, -8, display.height() - 50, 0);
    width = Bounded(width, 20, display.width() + 16, 20);
    height = Bounded(height, 10, display.height() + 16, 10);
  }
  move(left, top);
  resize(width, height);
}

void TFormServerMain::SaveSettings() {
  TIniFile ini(FSettingsFile);
  ini.EraseSection(kSection);
  ini.WriteInteger(kSection, "Left", x());
  ini.WriteInteger(kSection, "Top", y());
  ini.WriteInteger(kSection, "Width", width());
  ini.WriteInteger(kSection, "Height", height());
  ini.WriteString(kSection, "MidiIn", FMidiInName);
  ini.WriteString(kSection, "MidiOut", FMidiOutName);
  // Apply refuses larger buffer values; this keeps any other path from writing a negative one.
  constexpr uint32_t storable = std::numeric_limits<int32_t>::max();
  ini.WriteInteger(kSection, "BufferTime", static_cast<int32_t>(std::min(FBufferTime, storable)));
  ini.WriteInteger(kSection, "BufferResolution",
                   static_cast<int32_t>(std::min(FBufferResolution, storable)));
  ini.WriteInteger(kSection, "Port", FPort);
  ini.WriteBool(kSection, "IsSever", IsServer());
  ini.WriteString(kSection, "ServerName", FServerName);
  ini.WriteBool(kSection, "Monitoring", FMonitoring);
  ini.WriteString(kSection, "YourName", FYourName);
  ini.WriteBool(kSection, "AutoStart", FAutoStart);
  ini.WriteBool(kSection, "DisableNagle", FDisableNagle);
  ini.WriteBool(kSection, "AutoBufferTime", FAutoBufferTime);
  try {
    ini.UpdateFile();
  } catch (const EIniFileException& error) {
    // The old file is left as it was; the shut-down goes on.
    ShowMessage(std::string(error.what()) + ": " + error.Reason());
  }
}

// ---- Setters

void TFormServerMain::SetPort(int32_t value) {
  FPort = value;
  EditIpPort->setText(DecimalText(value));
}

void TFormServerMain::SetIsServer(bool value) {
  if (value == IsServer()) return;
  Session->SetIsServer(value);
  UpdateCaption();
}

void TFormServerMain::SetServerName(const std::string& value) {
  FServerName = value;
  EditServerName->setText(QString::fromStdString(value));
}

void TFormServerMain::SetYourName(const std::string& value) {
  FYourName = value;
  EditYourName->setText(QString::fromStdString(value));
  ServerFinder->SetChatName(value);
}

void TFormServerMain::SetAutoStart(bool value) {
  FAutoStart = value;
  Session->SetAutoStart(value);
  CheckBoxAutoStart->setChecked(value);
}

void TFormServerMain::SetDisableNagle(bool value) {
  FDisableNagle = value;
  CheckBoxDisableNagle->setChecked(value);
}

// ---- Changed state of the groups

void TFormServerMain::SetChatSettingsChanged(bool value) {
  BitBtnApplyChat->setEnabled(value);
  BitBtnCancelChat->setEnabled(value);
}

void TFormServerMain::SetIpSettingsChanged(bool value) {
  BitBtnApplyIp->setEnabled(value);
  BitBtnCancelIp->setEnabled(value);
  // A server has no server name to show.
  const bool client = !CheckBoxIsServer->isChecked();
  LabelServerName->setVisible(client);
  EditServerName->setVisible(client);
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
  EditYourName->setText(QString::fromStdString(FYourName));
  SetChatSettingsChanged(false);
}

void TFormServerMain::ApplyIpSettings() {
  // Only a TCP port can be listened on or connected to.
  const std::optional<int32_t> port = IntegerIn<int32_t>(EditIpPort);
  if (!port || *port < 0 || *port > 65535) {
    EditIpPort->setFocus();
    return;
  }
  const bool wasActive = Active();
  Session->StopReconnecting();
  ActivateLink(false);
  SetPort(*port);
  SetIsServer(CheckBoxIsServer->isChecked());
  SetServerName(EditServerName->text().toStdString());
  SetAutoStart(CheckBoxAutoStart->isChecked());
  SetDisableNagle(CheckBoxDisableNagle->isChecked());
  Session->KeepLink();
  ActivateLink(wasActive || FAutoStart);
  SetIpSettingsChanged(false);
}

void TFormServerMain::UndoIpSettings() {
  EditIpPort->setText(DecimalText(FPort));
  CheckBoxIsServer->setChecked(IsServer());
  EditServerName->setText(QString::fromStdString(FServerName));
  CheckBoxAutoStart->setChecked(FAutoStart);
  CheckBoxDisableNagle->setChecked(FDisableNagle);
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
  const bool autoBufferTime = CheckBoxAutoBufferTime->isChecked();
  try {
    // While Auto is on the field shows the value in force, which is not the fixed one.
    if (!FAutoBufferTime) SetBufferTime(ReadBufferEdit(EditBufferTime));
    SetBufferResolution(ReadBufferEdit(EditBufferResolution));
  } catch (const EAbandonApply&) {
    return;
  }
  SetAutoBufferTime(autoBufferTime);
  if (ComboBoxInputs->currentIndex() < 0) {
    SetMidiIn("");
  } else {
    SetMidiIn(ComboBoxInputs->currentText().toStdString());
    if (!MidiInOpen()) SetMidiInOpen(!FMidiInName.empty());
  }
  if (ComboBoxOutputs->currentIndex() < 0) {
    SetMidiOut("");
  } else {
    SetMidiOut(ComboBoxOutputs->currentText().toStdString());
    if (!MidiOutOpen()) SetMidiOutOpen(!FMidiOutName.empty());
  }
  SetMidiSettingsChanged(false);
}

void TFormServerMain::SelectByName(QComboBox* list, const std::string& name) {
  int found = -1;
  for (int i = 0; i < list->count() && found < 0; ++i)
    if (SameTextIgnoringAsciiCase(list->itemText(i).toStdString(), name)) found = i;
  list->setCurrentIndex(found);  // from the program: not an edit of the group
}

void TFormServerMain::UndoMidiSettings() {
  SelectByName(ComboBoxInputs, FMidiInName);
  SelectByName(ComboBoxOutputs, FMidiOutName);
  EditBufferTime->setText(DecimalText(FBufferTime));
  EditBufferResolution->setText(DecimalText(FBufferResolution));
  CheckBoxAutoBufferTime->setChecked(FAutoBufferTime);
  ShowBufferFigures();
  SetMidiSettingsChanged(false);
}
