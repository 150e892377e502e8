// MIDI routing as the window shows it: the device lists and the buffer's figures.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <functional>
#include <stdexcept>

#include "app/frmclientserver.h"
#include "platform/messagebox.h"

namespace {

// Runs a port's change; what fails is shown, as a failure to open that port.
void ShowingFailure(const char* direction, const std::function<void()>& change) {
  try {
    change();
  } catch (const std::runtime_error& error) {
    ShowMessage(std::string("Could not open midi ") + direction + " port : " + error.what());
  }
}

// Marks a list's entry kept for the port in use while its device is gone.
constexpr int kGoneRole = Qt::UserRole;

void Fill(QComboBox* list, const TDeviceList& devices) {
  // A choice not applied yet stays chosen.
  const QString shown = list->currentText();
  list->clear();
  for (const std::string& name : devices.Names) list->addItem(QString::fromStdString(name));
  if (devices.InUseGone) list->setItemData(list->count() - 1, true, kGoneRole);
  list->setCurrentIndex(list->findText(shown, Qt::MatchFixedString));
}

}  // namespace

void TFormServerMain::SetMidiIn(const std::string& name) {
  ShowingFailure("in", [&] { FEngine.SetMidiIn(name); });
}

void TFormServerMain::SetMidiOut(const std::string& name) {
  ShowingFailure("out", [&] { FEngine.SetMidiOut(name); });
}

void TFormServerMain::DeviceListsChanged(const TDeviceList& inputs, const TDeviceList& outputs) {
  Fill(ComboBoxInputs, inputs);
  Fill(ComboBoxOutputs, outputs);
}

void TFormServerMain::SetAutoBufferTime(bool value) {
  FEngine.SetAutoBufferTime(value);
  CheckBoxAutoBufferTime->setChecked(value);
  EditBufferTime->setReadOnly(value);
  if (!value) {
    const QSignalBlocker quiet(EditBufferTime);
    EditBufferTime->setText(QString::number(BufferTime()));
  }
  BufferFiguresChanged(FEngine.BufferFigures());
}

void TFormServerMain::BufferFiguresChanged(const TTimedBuffer::TFigures& figures) {
  LabelBufferFigures->setText(
      figures.Measured == 0
          ? QString("No MIDI received yet")
          : QString::asprintf("Jitter %u ms, late %.2f %%", figures.JitterMs,
                              100.0 * figures.LateShare));
  if (!AutoBufferTime()) return;
  // The value in force, written by the program: not an edit of the group.
  const QSignalBlocker quiet(EditBufferTime);
  EditBufferTime->setText(QString::number(figures.BufferTimeMs));
}
