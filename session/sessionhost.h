#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TData;

// A connection as the session knows it; the program around it maps it to its socket.
using TPeerId = std::uintptr_t;

enum class TLamp : uint8_t { Transmit, Receive };

// What the session asks of the program around it: the sockets, the timed buffer, the chat
// view, the monitor and the lamps. Called on the session's own thread only.
class TSessionHost {
 public:
  // Hands one frame to a connection. False when the connection refused it.
  virtual bool Write(TPeerId peer, const uint8_t* frame, int length) = 0;
  // Closes a connection; its Disconnected reaches the session before this returns.
  virtual void Close(TPeerId peer) = 0;
  // Opens the client link again. Returns why it failed at once, or an empty text.
  virtual std::string OpenLink() = 0;
  virtual std::string Describe(TPeerId peer) const = 0;

  virtual void ShowChat(const TData& packet) = 0;
  // A packet of a type the session does not handle (the program's own exchanges).
  virtual void ReceiveOther(TPeerId peer, const TData& packet) = 0;

  // Into the timed buffer: an entry carrying MIDI or only time, or the end of the link.
  virtual void Play(std::unique_ptr<TData> entry) = 0;
  virtual void PlayEndOfLink() = 0;

  virtual void Log(const std::string& line) = 0;
  // `prefix` and the packet's dump, built only while monitoring.
  virtual void LogPacket(const char* prefix, const TData& packet) = 0;
  virtual void Flash(TLamp lamp) = 0;
  // Tick is next due this many milliseconds from now; a later call replaces an earlier one.
  virtual void WakeIn(uint32_t ms) = 0;

 protected:
  ~TSessionHost() = default;
};
