#pragma once

// Shared pieces of the tests that run whole copies in this process: message-box recording,
// MIDI observers on the loopback backend, a raw TCP peer and a settings file of their own.

#include <QCoreApplication>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/midiin.h"
#include "midi/mmsystem.h"
#include "platform/messagebox.h"
#include "protocol/data.h"
#include "tests/support/qtwait.h"

// Loopback devices: the windows' MIDI is cabled output N -> input N.
constexpr unsigned kLoopbackDevices = 4;

inline void UseLoopbackDevices() {
  static const bool installed = [] {
    mmsystem::UseLoopbackMidi(kLoopbackDevices);
    return true;
  }();
  (void)installed;
}

// A port nothing listens on now, for a test's own server.
inline uint16_t FreeTcpPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

inline std::string LoopbackName(unsigned device) { return "Loopback " + std::to_string(device); }

// Records every message box while it lives.
class TMessageRecorder {
 public:
  TMessageRecorder()
      : previous_(SetMessageBoxHook([this](const TMessageBox& box) { Boxes.push_back(box); })) {}
  ~TMessageRecorder() { SetMessageBoxHook(previous_); }
  TMessageRecorder(const TMessageRecorder&) = delete;
  TMessageRecorder& operator=(const TMessageRecorder&) = delete;

  std::vector<TMessageBox> Boxes;

 private:
  TMessageBoxHook previous_;
};

// Listens on one loopback input and keeps the bytes of every message with its arrival time.
class TMidiObserver {
 public:
  struct TReceived {
    std::vector<uint8_t> Bytes;
    std::chrono::steady_clock::time_point At;
  };

  explicit TMidiObserver(unsigned device) {
    input_.SetDeviceID(device);
    input_.OnMidiInput = [this](TMidiInput& sender) { Take(sender); };
    input_.Open();
    input_.Start();
  }
  ~TMidiObserver() {
    input_.Stop();
    input_.Close();
  }
  TMidiObserver(const TMidiObserver&) = delete;
  TMidiObserver& operator=(const TMidiObserver&) = delete;

  std::vector<TReceived> Received;

 private:
  void Take(TMidiInput& sender) {
    const std::unique_ptr<TMyMidiEvent> event = sender.ReadEvent();
    if (!event) return;
    TReceived received{{}, std::chrono::steady_clock::now()};
    if (event->SysexLength > 0)
      received.Bytes.assign(event->SysexData.get(), event->SysexData.get() + event->SysexLength);
    else
      received.Bytes = {event->Status, event->Data1, event->Data2};
    Received.push_back(std::move(received));
  }

  TMidiInput input_;
};

inline std::vector<uint8_t> PayloadOf(const TData& packet) {
  return {packet.Bytes(), packet.Bytes() + packet.Count()};
}

inline TData MidiPacket(std::vector<uint8_t> bytes, uint16_t time) {
  TData packet(static_cast<uint16_t>(bytes.size()), bytes.data());
  packet.DataType = dtMidi;
  packet.Time = time;
  return packet;
}

// A peer that speaks raw TCP and collects the packets that reach it.
class TRawPeer {
 public:
  // `from`: the loopback address it connects from, for a server that tells peers apart.
  explicit TRawPeer(uint16_t port, const QHostAddress& from = QHostAddress::LocalHost) {
    decoder_.OnPacket = [this](TData& packet) { Received.push_back(packet); };
    QObject::connect(&socket_, &QTcpSocket::readyRead, [this] {
      const QByteArray bytes = socket_.readAll();
      decoder_.AddData(static_cast<uint16_t>(bytes.size()),
                       reinterpret_cast<const uint8_t*>(bytes.data()));
    });
    QObject::connect(&socket_, &QTcpSocket::disconnected, [this] { Closed = true; });
    socket_.bind(from);
    socket_.connectToHost(QHostAddress::LocalHost, port);
  }

  bool Connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
  // The server closed the connection once it was up.
  bool Closed = false;
  void Write(const std::vector<uint8_t>& bytes) {
    socket_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    socket_.flush();
  }
  size_t CountOf(int8_t type) const {
    return static_cast<size_t>(std::count_if(
        Received.begin(), Received.end(), [type](const TData& p) { return p.DataType == type; }));
  }

  // Midi packets only: the welcome and other chat are left out.
  std::vector<TData> MidiPackets() const {
    std::vector<TData> midi;
    std::copy_if(Received.begin(), Received.end(), std::back_inserter(midi),
                 [](const TData& p) { return p.DataType == dtMidi; });
    return midi;
  }

  std::vector<TData> Received;

 private:
  QTcpSocket socket_;
  TDecoder decoder_{256};
};

// A settings file in a folder of its own, removed with the object.
class TTempSettings {
 public:
  std::string Path() const { return dir_.filePath("tessel.INI").toStdString(); }
  std::string Folder() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
};
