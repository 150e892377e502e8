#pragma once

// A client of the ALSA sequencer for tests: it plays into other clients' ports from its port
// "out" and records what reaches its port "in", with the time of arrival. System-exclusive
// events are joined into whole messages again.
//
// Threads: a reader thread of its own records; the other calls run on the test's thread.

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSeqPeer {
 public:
  using TBytes = std::vector<uint8_t>;
  struct TMessage {
    TBytes Bytes;
    std::chrono::steady_clock::time_point At;
  };

  // True when /dev/snd/seq opens; otherwise `why` says why not.
  static bool SequencerThere(std::string* why);

  explicit TSeqPeer(const std::string& clientName);
  ~TSeqPeer();
  TSeqPeer(const TSeqPeer&) = delete;
  TSeqPeer& operator=(const TSeqPeer&) = delete;

  int Client() const { return client_; }
  // "client:port" of our ports, as aconnect takes them.
  std::string OutputAddress() const { return std::to_string(client_) + ":0"; }
  std::string InputAddress() const { return std::to_string(client_) + ":1"; }

  // Every client's name, in the order of its number.
  std::vector<std::string> ClientNames() const;
  // The number of the client called `name`; -1 when there is none.
  int FindClient(const std::string& name) const;
  // The names of the ports that others may connect to, of client `client`.
  std::vector<std::string> PublicPorts(int client) const;

  // How many ports read from our port "out".
  int OutputSubscribers() const;

  // One message, a system-exclusive one as one event, to every port connected to "out".
  void Send(const TBytes& bytes);

  std::vector<TMessage> Received() const;
  bool WaitForMessages(size_t count, std::chrono::milliseconds timeout) const;
  void ClearReceived();

 private:
  void Record(const snd_seq_event_t& event);
  void ReadUntilStopped();

  snd_seq_t* sequencer_ = nullptr;
  int client_ = -1;
  snd_midi_event_t* encoder_ = nullptr;  // the test thread's
  snd_midi_event_t* decoder_ = nullptr;  // the reader thread's
  mutable std::mutex lock_;              // guards received_ and sysex_
  std::vector<TMessage> received_;
  TBytes sysex_;  // a system-exclusive message still arriving
  int stopFd_ = -1;
  std::thread reader_;
};
