#pragma once

// A session of the npm package rtpmidi (rtpmidi-peer.js) as a child process, for tests that
// need an RTP-MIDI participant written by others. It listens on 127.0.0.1 only and dies with
// the test process.
//
// Not thread-safe: one test thread owns each object.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct TPeerMidi {
  int64_t Ms = 0;  // the package's time of the message
  std::vector<uint8_t> Bytes;
};

class TRtpMidiPeer {
 public:
  // Why no peer can run here, or empty when one can.
  static std::string Unavailable();

  // Starts a session called `name` with its control port at `port` (0: a free even port) and
  // waits until it is bound; throws std::runtime_error when it is not.
  explicit TRtpMidiPeer(const std::string& name, uint16_t port = 0);
  // Kills the process if it still runs.
  ~TRtpMidiPeer();
  TRtpMidiPeer(const TRtpMidiPeer&) = delete;
  TRtpMidiPeer& operator=(const TRtpMidiPeer&) = delete;

  uint16_t ControlPort() const { return port_; }

  void Invite(uint16_t controlPort, const std::string& host = "127.0.0.1");
  // One MIDI message; the package drops it for peers whose clock sync has not finished.
  void Send(const std::vector<uint8_t>& message);
  // BY to every peer, then the process ends.
  void End();

  // The rest of the first unread report that starts with `event` ("joined", "synced", "left"),
  // or nothing when none comes within `timeout`.
  std::optional<std::string> WaitFor(const std::string& event, std::chrono::milliseconds timeout);
  // True once `count` MIDI messages have come in.
  bool WaitForMidi(size_t count, std::chrono::milliseconds timeout);
  const std::vector<TPeerMidi>& Received() const { return received_; }
  // The exit status, or nothing when the process still runs after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

 private:
  void Command(const std::string& line);
  // Reads reports until `done` holds, the output ends or `timeout` passes; returns done().
  template <class Predicate>
  bool ReadUntil(Predicate done, std::chrono::milliseconds timeout);
  void TakeReport(const std::string& line);
  bool Reaped();
  void Kill();

  pid_t pid_ = -1;
  int exitStatus_ = -1;
  int channel_ = -1;  // the child's stdin and stdout
  bool outputEnded_ = false;
  uint16_t port_ = 0;
  std::string partialLine_;
  std::deque<std::string> reports_;  // unread, without the MIDI ones
  std::vector<TPeerMidi> received_;
};
