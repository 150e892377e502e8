#pragma once

// A small JACK client for end-to-end tests: one MIDI output port that plays what the test
// sends, and one MIDI input port that records what arrives, with arrival times.
//
// The client opens on the server that JACK_DEFAULT_SERVER names (the "jackd" CTest fixture
// sets it). The first call of ServerRunning or the constructor takes the server's test lock
// for the rest of the process, so tests in other processes that share the server run one at a
// time: they never see each other's ports or traffic. Call it before anything else in the
// test touches JACK.
//
// Threads: the JACK process thread plays and records; every public member is safe to call
// from any other thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TJackPeer {
 public:
  using Clock = std::chrono::steady_clock;

  struct TMessage {
    std::vector<uint8_t> Bytes;  // one whole message; a system-exclusive one from F0 to F7
    Clock::time_point Arrival;   // when its last byte was read
    uint32_t Frame;              // JACK's frame time of its last byte, exact to the frame
  };

  // True when a JACK server answers; otherwise `why` says which server and what failed.
  static bool ServerRunning(std::string* why = nullptr);

  // Opens the client (JACK adds a suffix when the name is taken) with the ports "out" and
  // "in". Throws std::runtime_error when no server answers or a port cannot be made.
  explicit TJackPeer(const std::string& clientName = "TesselPeer");
  ~TJackPeer();
  TJackPeer(const TJackPeer&) = delete;
  TJackPeer& operator=(const TJackPeer&) = delete;

  // Full port names ("client:out", "client:in"), as other clients list them.
  std::string OutputPort() const;
  std::string InputPort() const;

  // Full names of the server's MIDI ports whose names match the extended regular expression
  // `pattern`; `inputs` picks ports that receive (true) or ports that send (false).
  std::vector<std::string> FindPorts(const std::string& pattern, bool inputs) const;

  // Names of the clients that came to the server after this one and are still there, in
  // the order they came, ports or not.
  std::vector<std::string> NewClients() const;

  // Connects port `from` (a sender) to port `to` (a receiver); false when JACK refuses.
  bool Connect(const std::string& from, const std::string& to);

  // Queues one message for the output port: a short message, or a whole system-exclusive
  // message, which is split across process cycles when it does not fit into one event.
  // `maxEventBytes` (0: what the port's buffer allows) forces smaller pieces. Nothing is
  // played before the output port is connected in the server's running graph.
  void Send(std::vector<uint8_t> bytes, size_t maxEventBytes = 0);
  // Queues one short message to be written at JACK frame time `frame`, at its offset within
  // that frame's cycle; one already past goes at the start of the next cycle. Keep them in
  // order of frame, and apart from Send.
  void SendAt(std::vector<uint8_t> bytes, uint32_t frame);
  // JACK's frame time now, frames per second, and frames per cycle.
  uint32_t FrameTime() const;
  uint32_t SampleRate() const;
  uint32_t BufferSize() const;
  // Waits until everything queued has been written to the port; false on timeout.
  bool WaitUntilSent(std::chrono::milliseconds timeout);

  // Waits until the input port is connected in the server's running graph, so that what a
  // sender plays from now on arrives; false on timeout.
  bool WaitUntilInputConnected(std::chrono::milliseconds timeout) const;

  // Messages read on the input port so far, oldest first: one per JACK event, except that a
  // system-exclusive message that arrived in several events is joined into one.
  std::vector<TMessage> Received() const;
  // Waits until at least `count` messages have been read; false on timeout.
  bool WaitForMessages(size_t count, std::chrono::milliseconds timeout) const;
  void ClearReceived();

  // How many cycles the server has reported as run out of time (xruns) since this client
  // opened; in such a cycle it may drop MIDI between its clients.
  size_t Xruns() const;
  // The next cycle of this client takes `stall` longer, as one of a busy machine's does.
  void StallNextCycle(std::chrono::milliseconds stall);

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};
