#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/midicb.h"
#include "midi/miditype.h"
#include "platform/messagewindow.h"

class EmidioutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes to one MIDI output device or to the mapper (MIDI_MAPPER). Short messages go out at
// once; each long message travels in its own header, released when the driver reports it
// done and kept for a later message, so sending allocates nothing once enough headers exist.
// Open, Close and the property writes belong to the thread that created the port; the sends
// may come from any thread and are safe against a concurrent Close, which interrupts a send
// that waits for room rather than wait behind it. Done notices never wait for a send.
class TMidiOutput {
 public:
  enum class TState { Closed, Open };
  using TNotifyEvent = std::function<void(TMidiOutput& Sender)>;

  // Looks no device up: ProductName stays empty until a device is chosen.
  TMidiOutput();
  virtual ~TMidiOutput();
  TMidiOutput(const TMidiOutput&) = delete;
  TMidiOutput& operator=(const TMidiOutput&) = delete;

  const std::string& ProductName() const { return FProductName; }
  // Exact, case-sensitive match among the devices, then the mapper; raises when none has it.
  void SetProductName(const std::string& name);
  uint32_t DeviceID() const { return FDeviceID; }
  void SetDeviceID(uint32_t id);
  // Result code of the last platform call.
  uint16_t Error() const { return FError.load(std::memory_order_relaxed); }
  // Any thread; never waits for a send.
  TState State() const { return FState.load(std::memory_order_acquire); }

  // A long message has been played and its buffer released.
  TNotifyEvent Onmidioutput;

  virtual void Open();
  // A failed reset leaves the port open.
  virtual void Close();
  // Ends every note still sounding and an unfinished system-exclusive message; the port
  // stays open. Nothing happens while closed.
  virtual void Reset();
  // Raises "MIDI Output device not open" while closed; the event is not taken over.
  virtual void SendEvent(const TMyMidiEvent& event);
  virtual void SendShort(uint8_t status, uint8_t data1, uint8_t data2);
  // Returns without waiting for the bytes to be played; length 0 sends nothing. `playAtUs`
  // is when they are to be heard, on timeGetTime's clock in microseconds; 0 is at once.
  virtual void SendLong(const uint8_t* bytes, uint16_t length, int64_t playAtUs = 0);
  static std::string ErrorText(uint16_t code);

 private:
  void WindowProc(const TMessage& message);
  // Stores the result in Error and raises its text when it is not 0.
  void Check(MMRESULT result);
  // The handle to send on; a closed port fails as the platform fails a null handle.
  HMIDIOUT OpenHandle();
  // A free header of at least `length` bytes, listed in flight before the driver gets it, so
  // a done notice that comes at once finds it.
  TMyMidiHdr& TakeHeader(uint16_t length);
  // Unprepares a header in flight and frees it for a later message; false when it was not
  // in flight.
  bool ReleaseHeader(MIDIHDR* header);

  std::string FProductName;
  uint32_t FDeviceID = 0;
  std::atomic<uint16_t> FError{0};  // written by sends on any thread

  // Guards FDeviceHandle and writes of FState: Close must not free the handle while a send on
  // another thread is using it. Recursive because SendEvent holds it across the virtual
  // SendShort and SendLong, so the port cannot close between the state test and the send.
  std::recursive_mutex FDeviceLock;
  std::atomic<HMIDIOUT> FDeviceHandle = nullptr;  // read without the lock to interrupt a send
  std::atomic<TState> FState = TState::Closed;

  // Guards the two header lists; held for list operations only.
  std::mutex FHeaderLock;
  // Long messages handed to the driver and not yet reported done, oldest first. Headers move
  // between the lists by splicing, so neither a send nor a done notice allocates, and a notice
  // that comes in order finds its header first however many are in flight.
  std::list<std::unique_ptr<TMyMidiHdr>> FInFlight;
  std::list<std::unique_ptr<TMyMidiHdr>> FFreeHeaders;

  // Created by the first Open; the driver holds its address while the device is open.
  std::unique_ptr<TMidiCallbackInfo> FCallbackInfo;
  TMessageWindow FWindow;
};
