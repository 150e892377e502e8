#pragma once

// The multimedia service's MIDI devices, under the classic multimedia names that the MIDI
// ports are written against (its timers and clock: platform/timerservice.h).
// Every operation returns MMSYSERR_NOERROR (0) or an error code; nothing throws. Backends: the
// system's MIDI (JACK when a JACK server runs, else the ALSA sequencer, else no devices), or an
// in-process loopback that tests select.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/timerservice.h"

struct MidiInDevice;
struct MidiOutDevice;
using HMIDIIN = MidiInDevice*;
using HMIDIOUT = MidiOutDevice*;

constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MIDIERR_UNPREPARED = 64;
constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
constexpr MMRESULT MIDIERR_NOTREADY = 67;
constexpr MMRESULT MIDIERR_NODEVICE = 68;
constexpr MMRESULT MIDIERR_INVALIDSETUP = 69;
constexpr MMRESULT TIMERR_NOCANDO = 97;

constexpr UINT MIDI_MAPPER = 0xFFFFFFFF;
constexpr DWORD CALLBACK_FUNCTION = 0x30000;

// Callback messages.
constexpr UINT MIM_OPEN = 0x3C1;
constexpr UINT MIM_CLOSE = 0x3C2;
constexpr UINT MIM_DATA = 0x3C3;
constexpr UINT MIM_LONGDATA = 0x3C4;
constexpr UINT MIM_ERROR = 0x3C5;
constexpr UINT MIM_LONGERROR = 0x3C6;
constexpr UINT MOM_OPEN = 0x3C7;
constexpr UINT MOM_CLOSE = 0x3C8;
constexpr UINT MOM_DONE = 0x3C9;

constexpr DWORD MHDR_DONE = 0x1;
constexpr DWORD MHDR_PREPARED = 0x2;
constexpr DWORD MHDR_INQUEUE = 0x4;

constexpr size_t MAXPNAMELEN = 32;
constexpr size_t MAXERRORLENGTH = 128;

struct MIDIHDR {
  char* lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  MIDIHDR* lpNext;
  DWORD_PTR reserved;
  DWORD dwOffset;
  DWORD_PTR dwReserved[8];
};

struct MIDIINCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];  // product name, NUL-terminated, cut to fit
  DWORD dwSupport;
};

struct MIDIOUTCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];  // product name, NUL-terminated, cut to fit
  uint16_t wTechnology;
  uint16_t wVoices;
  uint16_t wNotes;
  uint16_t wChannelMask;
  DWORD dwSupport;
};

// Parameter 2 of MIM_DATA, MIM_LONGDATA and MIM_LONGERROR: the event, valid only during the
// call. Parameter 1 is the packed short message or the returned header, as usual. Times never
// go back from one event of an input to the next.
struct MIDIINEVENT {
  DWORD dwTimeStamp;  // ms since midiInStart
  DWORD dwTime;       // when the MIDI system got it, on timeGetTime's clock
  uint8_t bData[3];   // a short message, status first; unused bytes 0
  uint8_t cbData;     // bytes of bData in use; 0 for a long buffer
};

// (device handle, message, instance value, parameter 1, parameter 2). Input callbacks run on
// the backend's input thread; MOM_DONE may run on the thread that sent the long message.
using MidiCallbackProc = void (*)(void* device, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                                  DWORD_PTR param2);

UINT midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(UINT deviceId, MIDIINCAPSA* caps, UINT capsSize);
MMRESULT midiInOpen(HMIDIIN* handle, UINT deviceId, MidiCallbackProc callback, DWORD_PTR instance,
                    DWORD flags);
MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT headerSize);
MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT headerSize);
MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT headerSize);
MMRESULT midiInStart(HMIDIIN handle);
MMRESULT midiInStop(HMIDIIN handle);
// Returns every queued buffer through the callback (MIM_LONGDATA) before it returns.
MMRESULT midiInReset(HMIDIIN handle);
// No callback runs for this handle once midiInClose has returned.
MMRESULT midiInClose(HMIDIIN handle);
MMRESULT midiInGetErrorTextA(MMRESULT error, char* text, UINT textSize);

UINT midiOutGetNumDevs();
// deviceId MIDI_MAPPER names the mapper: Tessel's own virtual output port.
MMRESULT midiOutGetDevCapsA(UINT deviceId, MIDIOUTCAPSA* caps, UINT capsSize);
MMRESULT midiOutOpen(HMIDIOUT* handle, UINT deviceId, MidiCallbackProc callback, DWORD_PTR instance,
                     DWORD flags);
MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD packedMessage);
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT headerSize);
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT headerSize);
// Plays the header's bytes, then reports MOM_DONE through the callback.
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT headerSize);
// As midiOutLongMsg, played at `playAtUs`: microseconds on timeGetTime's clock, where the
// MIDI system can place a message within its cycle; 0 plays it at once.
MMRESULT midiOutLongMsgAt(HMIDIOUT handle, MIDIHDR* header, UINT headerSize, int64_t playAtUs);
MMRESULT midiOutReset(HMIDIOUT handle);
// No callback runs for this handle once midiOutClose has returned.
MMRESULT midiOutClose(HMIDIOUT handle);
MMRESULT midiOutGetErrorTextA(MMRESULT error, char* text, UINT textSize);

namespace mmsystem {

enum class MidiSystem { None, Alsa, Jack, Loopback };

// The MIDI system in use; chosen once, on first use of a MIDI operation.
MidiSystem ActiveMidiSystem();

// Tests only: replace the MIDI system by an in-process loopback of `deviceCount` inputs and
// outputs named "Loopback 0", "Loopback 1", ..., where output N feeds input N and the
// mapper feeds input 0. Call while no device is open.
void UseLoopbackMidi(unsigned deviceCount);

// A send on this output that waits for room gives up at once, and so do later ones until
// midiOutReset or midiOutClose: a close then never waits behind a send. Any thread.
MMRESULT InterruptMidiOut(HMIDIOUT handle);

// Input events the MIDI system in use dropped before any port could see them, since start.
uint64_t InputEventsLostBySystem();
// Cycles the MIDI system in use missed while we were in it, since start.
uint64_t CyclesMissedBySystem();
// How many microseconds before its instant midiOutLongMsgAt wants a message.
int64_t MidiOutLeadUs();

// Runs `changed` on a thread of the MIDI system each time its ports come, go or are renamed;
// it must only hand the news over to its own thread. Null stops it.
void WatchMidiDevices(std::function<void()> changed);

}  // namespace mmsystem
