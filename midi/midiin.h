#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/circbuf.h"
#include "midi/midicb.h"
#include "midi/miditype.h"
#include "platform/messagewindow.h"

class EMidiInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads one MIDI input device. The driver callback fills an event ring and posts one
// notification per stored event; the hidden window turns each into OnMidiInput, whose
// handler takes the event with ReadEvent. Everything here runs on the thread that created
// the port; only MidiCallback runs on the driver's thread.
class TMidiInput {
 public:
  enum class TState { Creating, Closed, Open };
  using TNotifyEvent = std::function<void(TMidiInput& Sender)>;

  // Selects input device 0 when one exists.
  TMidiInput();
  ~TMidiInput();
  TMidiInput(const TMidiInput&) = delete;
  TMidiInput& operator=(const TMidiInput&) = delete;

  const std::string& ProductName() const { return FProductName; }
  // Exact, case-sensitive match; a name that matches no device changes nothing.
  void SetProductName(const std::string& name);
  uint32_t DeviceID() const { return FDeviceID; }
  // Does nothing while no input device exists.
  void SetDeviceID(uint32_t id);
  // Slots of the event ring that Open creates; at most kMaxRingCapacity.
  uint16_t Capacity() const { return FCapacity; }
  void SetCapacity(uint16_t capacity) { FCapacity = capacity; }
  // Result code of the last platform call.
  uint16_t Error() const { return FError; }
  uint16_t SysexBufferSize() const { return FSysexBufferSize; }
  void SetSysexBufferSize(uint16_t size);
  uint16_t SysexBufferCount() const { return FSysexBufferCount; }
  void SetSysexBufferCount(uint16_t count);
  bool SysexOnly() const { return FSysexOnly; }
  // Takes effect at once, also while open.
  void SetSysexOnly(bool sysexOnly);
  TState State() const { return FState; }

  // An event is waiting.
  TNotifyEvent OnMidiInput;
  // The ring was full and an event was lost.
  TNotifyEvent OnOverflow;
  // Events lost because the ring was full, since the port was made; any thread.
  uint64_t LostEvents() const { return FLostEvents.load(std::memory_order_relaxed); }

  // Reports no failure: a port that could not open stays Closed, with the platform's result
  // in Error, and delivers nothing. Nothing happens while already open.
  void Open();
  void Close();
  void Start();
  void Stop();
  // The oldest waiting event, or null when none is waiting or the port is not open.
  std::unique_ptr<TMyMidiEvent> ReadEvent();
  uint16_t PendingCount() const;
  static std::string ErrorText(uint16_t code);

  void PrepareSysexBuffers();
  void QueueSysexBuffers();
  void ReleaseSysexBuffers();

 private:
  void WindowProc(const TMessage& message);
  // Stores the result in Error and raises its text when it is not 0.
  void Check(MMRESULT result);
  void RequeueSysexBuffer(MIDIHDR* header);
  bool OwnsSysexBuffer(const MIDIHDR* header) const;
  // Closes the device without reporting errors and frees what the session held.
  void AbandonDevice() noexcept;
  void EndSession();

  std::string FProductName;
  uint32_t FDeviceID = 0;
  uint16_t FCapacity = 1024;
  uint16_t FError = 0;
  uint16_t FSysexBufferSize = 4096;
  uint16_t FSysexBufferCount = 16;
  bool FSysexOnly = false;
  TState FState = TState::Creating;

  HMIDIIN FDeviceHandle = nullptr;
  TEventRing* FRing = nullptr;  // exists while open
  std::vector<std::unique_ptr<TMyMidiHdr>> FSysexHeaders;
  // Created by the first Open and kept: the driver holds its address while a device is open.
  std::unique_ptr<TMidiCallbackInfo> FCallbackInfo;
  std::atomic<uint64_t> FLostEvents = 0;  // counted on the driver's thread
  TMessageWindow FWindow;
};
