#pragma once

// What a running copy tells whoever shows it: the window, or the console of a copy without
// one. Every call comes on the engine's thread; each has an empty default, so an observer
// takes only what it shows.

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/dnssd.h"
#include "protocol/timedbuffer.h"

enum class TEngineLamp : uint8_t { Transmit, Receive, Overflow, Underflow };

// The settings groups, which the window applies and undoes one at a time.
enum class TSettingsGroup : uint8_t { Chat, Ip, Midi };

// One list of MIDI devices as the system has them now; the device in use stays at the end,
// marked gone, while the system does not have it.
struct TDeviceList {
  std::vector<std::string> Names;
  bool InUseGone = false;
};

class TEngineObserver {
 public:
  // Server or client, listening or connected: the caption and the connect commands follow.
  virtual void LinkStateChanged() {}
  // Listening on `port`, with RTP-MIDI on `rtpMidiPort` and the next (0: none), or no longer
  // listening (port 0).
  virtual void ListeningChanged(uint16_t /*port*/, uint16_t /*rtpMidiPort*/) {}
  // One description per open connection, sorted without regard to case.
  virtual void ConnectionsChanged(const std::vector<std::string>& /*connections*/) {}
  // A chat text to show: one that arrived, or on the server one it sends.
  virtual void ChatShown(const std::string& /*text*/) {}
  // A line of the data monitor; raised only while monitoring is on.
  virtual void MonitorLine(const std::string& /*line*/) {}
  virtual void LampFlashed(TEngineLamp /*lamp*/) {}
  // What was lost on the way, by cause ("Nothing lost" while nothing was).
  virtual void LossesChanged(const std::string& /*text*/) {}
  // Once a second: the buffer's measured figures and the buffer time in force.
  virtual void BufferFiguresChanged(const TTimedBuffer::TFigures& /*figures*/) {}
  virtual void DeviceListsChanged(const TDeviceList& /*inputs*/, const TDeviceList& /*outputs*/) {}
  virtual void ServersSeenChanged(const std::vector<TAnnouncedServer>& /*servers*/) {}
  virtual void SessionsSeenChanged(const std::vector<TAnnouncedServer>& /*sessions*/) {}
  // The engine set a group's values itself (loading the file, a server chosen from the list).
  virtual void SettingsChanged(TSettingsGroup /*group*/) {}
  // The connection the user is asked about changed (TEngine::AdmissionQuestion; none now
  // when it is null).
  virtual void AdmissionQuestionChanged() {}
  // Something the user must read now: a port that would not open, a refused chat text.
  virtual void MessageShown(const std::string& /*text*/) {}

 protected:
  ~TEngineObserver() = default;
};
